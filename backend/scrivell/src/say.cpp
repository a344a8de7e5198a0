#include "say.hpp"

#include <cstdio>

namespace scrivell {

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace scrivell
