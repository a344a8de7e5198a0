#include "say.hpp"

#include <cstdio>
#include <zelt/Value.hpp>

namespace scrivell {

void say(const std::string& line) {
    // One line, whatever a client put into the path it names.
    std::fputs(zelt::printable(line, 8192).c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace scrivell
