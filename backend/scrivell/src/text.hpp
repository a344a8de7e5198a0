#pragma once

#include <string>
#include <zelt/Value.hpp>

namespace scrivell {

// A path or name in double quotes, as every error message shows it: control characters
// escaped and cut at a few hundred bytes, since errors reach log lines and clients. (Not
// `quoted`: that would meet std::quoted by argument-dependent lookup wherever <iomanip> is
// around.)
inline std::string in_quotes(const std::string& text) {
    return "\"" + zelt::printable(text, 512) + "\"";
}

}  // namespace scrivell
