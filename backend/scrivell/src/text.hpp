#pragma once

#include <cstdint>
#include <cstdio>
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

// `bytes` in MiB with one decimal ("12.5"), as errors about memory give it.
inline std::string mib_text(std::uint64_t bytes) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", static_cast<double>(bytes) / (1 << 20));
    return buffer;
}

}  // namespace scrivell
