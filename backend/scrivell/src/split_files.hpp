#pragma once

#include <cstdint>
#include <string>

namespace scrivell {

// "%s/data_%04d" of a split dataset's name and a block index: where the master file links the
// block.
std::string link_path(const std::string& name, std::int64_t index);

}  // namespace scrivell
