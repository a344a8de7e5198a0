#include "requests.hpp"

#include <algorithm>
#include <cmath>

namespace scrivell {

const zelt::Value& required(const zelt::Map& record, const char* key) {
    const zelt::Value* value = zelt::find(record, key);
    if (!value) throw Error(std::string("the request has no \"") + key + "\"");
    return *value;
}

const std::string& filepath_of(const zelt::Map& record) {
    const std::string& filepath = required_as<std::string>(record, "filepath", "text");
    // The C calls underneath would take the path up to its first NUL: another file.
    if (filepath.find('\0') != std::string::npos) {
        throw Error("\"filepath\" holds a NUL character");
    }
    return filepath;
}

std::int64_t block_rows(const zelt::Value& size, const std::string& where) {
    constexpr std::int64_t max_rows = std::int64_t{1} << 32;
    const std::string refused = where + ": splitSize " + zelt::to_text(size);
    auto checked = [&](long double rows) -> std::int64_t {
        if (rows <= 0) return 1;
        if (rows > max_rows) {
            throw Error(refused + " is too large: a block holds at most " +
                        std::to_string(max_rows) + " items");
        }
        return static_cast<std::int64_t>(rows);
    };
    if (const auto* n = size.as<std::int64_t>()) return checked(static_cast<long double>(*n));
    if (const auto* u = size.as<std::uint64_t>()) return checked(static_cast<long double>(*u));
    if (const auto* d = size.as<double>()) {
        if (!std::isfinite(*d)) throw Error(refused + " is not a finite number");
        if (std::floor(*d) != *d) throw Error(refused + " is not a whole number");
        return checked(static_cast<long double>(*d));
    }
    throw Error(refused + " is a " + size.kind_name() + ", not a whole number");
}

}  // namespace scrivell
