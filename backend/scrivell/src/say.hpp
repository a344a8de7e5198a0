#pragma once

#include <string>

namespace scrivell {

// Writes one of the backend's fixed lines to standard output and flushes it: these lines are
// read by people and scripts while the service runs, they are not log records.
void say(const std::string& line);

}  // namespace scrivell
