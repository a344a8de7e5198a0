#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <zelt/Value.hpp>
#include <zelt/overload.hpp>

namespace zelt {

// The shortest text that reads back to the same double, laid out as Python's repr does:
// positional between 1e-4 and 1e16 ("12.5", "3.0"), else exponent with at least two
// digits ("1e-05", "1e+16").
std::string float_text(double value) {
    std::string out;
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "Infinity" : "-Infinity";
    }
    char buffer[64];
    auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string scientific(buffer, result.ptr);
    std::string sign;
    if (scientific[0] == '-') {
        sign = "-";
        scientific.erase(0, 1);
    }
    const auto e_at = scientific.find('e');
    const int exponent = std::atoi(scientific.c_str() + e_at + 1);
    std::string digits = scientific.substr(0, e_at);
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    out += sign;
    if (exponent < -4 || exponent >= 16) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1, std::string::npos);
        }
        std::snprintf(buffer, sizeof buffer, "e%c%02d", exponent < 0 ? '-' : '+',
                      exponent < 0 ? -exponent : exponent);
        out += buffer;
    } else if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else {
        const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= integer_digits) {
            out += digits;
            out.append(integer_digits - digits.size(), '0');
            out += ".0";
        } else {
            out.append(digits, 0, integer_digits);
            out += '.';
            out.append(digits, integer_digits, std::string::npos);
        }
    }
    return out;
}

namespace {

// The item size of a type string this system accepts, or 0.
std::size_t accepted_item_size(const std::string& typestr) {
    if (typestr.size() != 3) return 0;
    const char order = typestr[0];
    const char kind = typestr[1];
    const char size = typestr[2];
    if (size == '1') {
        return order == '|' && (kind == 'b' || kind == 'i' || kind == 'u') ? 1 : 0;
    }
    if (order != '<' && order != '>') return 0;
    switch (size) {
        case '2':
            return kind == 'i' || kind == 'u' ? 2 : 0;
        case '4':
            return kind == 'i' || kind == 'u' || kind == 'f' ? 4 : 0;
        case '8':
            return kind == 'i' || kind == 'u' || kind == 'f' ? 8 : 0;
    }
    return 0;
}

void append_shape(std::string& out, const std::vector<std::uint64_t>& shape) {
    out += '[';
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(shape[i]);
    }
    out += ']';
}

void append_quoted(std::string& out, const std::string& text) {
    out += '"';
    for (char c : printable(text, 1024)) {
        if (c == '"') out += '\\';
        out += c;
    }
    out += '"';
}

void append_text(std::string& out, const Value& value) {
    std::visit(Overload{
                   [&](std::monostate) { out += "null"; },
                   [&](bool flag) { out += flag ? "true" : "false"; },
                   [&](std::int64_t number) { out += std::to_string(number); },
                   [&](std::uint64_t number) { out += std::to_string(number); },
                   [&](double number) { out += float_text(number); },
                   [&](const std::string& text) { append_quoted(out, text); },
                   [&](const List& list) {
                       out += '[';
                       for (std::size_t i = 0; i < list.size(); ++i) {
                           if (i) out += ", ";
                           append_text(out, list[i]);
                       }
                       out += ']';
                   },
                   [&](const Map& map) {
                       out += '{';
                       for (std::size_t i = 0; i < map.size(); ++i) {
                           if (i) out += ", ";
                           append_quoted(out, map[i].first);
                           out += ": ";
                           append_text(out, map[i].second);
                       }
                       out += '}';
                   },
                   [&](const NdArray& array) { out += array.describe(); },
               },
               value.kind());
}

}  // namespace

namespace {

// The bytes of the elements of an array of `typestr` and `shape`. Throws Error for a type
// string outside the protocol or a count past 64 bits.
std::uint64_t element_bytes(const std::string& typestr, const std::vector<std::uint64_t>& shape) {
    const std::size_t item = accepted_item_size(typestr);
    if (item == 0) throw Error("array: unsupported type string \"" + typestr + "\"");
    std::uint64_t bytes = item;
    for (auto dim : shape) {
        if (dim != 0 && bytes > UINT64_MAX / dim)
            throw Error("array: shape too large for " + typestr);
        bytes *= dim;
    }
    return bytes;
}

}  // namespace

NdArray::NdArray(std::string typestr, std::vector<std::uint64_t> shape, const void* data,
                 std::size_t size, std::shared_ptr<const void> owner)
    : typestr_(std::move(typestr)),
      shape_(std::move(shape)),
      data_(data),
      size_(size),
      owner_(std::move(owner)) {
    const std::uint64_t expected = element_bytes(typestr_, shape_);
    if (expected != size_) {
        throw Error("array: " + describe() + " needs " + std::to_string(expected) + " bytes, got " +
                    std::to_string(size_));
    }
}

NdArray NdArray::owned_copy() const {
    auto bytes = std::make_shared<std::vector<char>>(data(), data() + size_bytes());
    const char* start = bytes->data();
    if (precompressed()) return precompressed(typestr_, shape_, codec_, start, size_, bytes);
    return NdArray(typestr_, shape_, start, size_, std::move(bytes));
}

NdArray NdArray::precompressed(std::string typestr, std::vector<std::uint64_t> shape,
                               std::string codec, const void* data, std::size_t size,
                               std::shared_ptr<const void> owner) {
    if (codec != "bslz4") {
        throw Error("array: the codec \"" + printable(codec, 64) + "\" is not \"bslz4\"");
    }
    (void)element_bytes(typestr, shape);  // checked as for any array
    NdArray out = view(std::move(typestr), std::move(shape), data);
    out.size_ = size;
    out.owner_ = std::move(owner);
    out.codec_ = std::move(codec);
    return out;
}

NdArray NdArray::view(std::string typestr, std::vector<std::uint64_t> shape, const void* data) {
    const std::size_t item = accepted_item_size(typestr);
    if (item == 0) throw Error("array: unsupported type string \"" + typestr + "\"");
    std::uint64_t size = item;
    for (auto dim : shape) size *= dim;
    return NdArray(std::move(typestr), std::move(shape), data, size, nullptr);
}

std::size_t NdArray::item_size() const { return accepted_item_size(typestr_); }

std::uint64_t NdArray::element_count() const {
    std::uint64_t count = 1;
    for (auto dim : shape_) count *= dim;
    return count;
}

std::string NdArray::describe() const {
    std::string out = typestr_ + " ";
    append_shape(out, shape_);
    if (precompressed()) out += " " + codec_ + " (" + std::to_string(size_) + " bytes)";
    return out;
}

bool operator==(const NdArray& a, const NdArray& b) {
    return a.typestr_ == b.typestr_ && a.shape_ == b.shape_ && a.codec_ == b.codec_ &&
           a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data_, b.data_, a.size_) == 0);
}

Value::Value(const char* text) : kind_(std::string(text)) {}

const char* Value::kind_name() const {
    return std::visit(Overload{
                          [](std::monostate) { return "null"; },
                          [](bool) { return "boolean"; },
                          [](std::int64_t) { return "integer"; },
                          [](std::uint64_t) { return "integer"; },
                          [](double) { return "floating-point number"; },
                          [](const std::string&) { return "text"; },
                          [](const List&) { return "list"; },
                          [](const Map&) { return "map"; },
                          [](const NdArray&) { return "array"; },
                      },
                      kind_);
}

bool is_true(const Value& value) {
    return std::visit(Overload{
                          [](std::monostate) { return false; },
                          [](bool flag) { return flag; },
                          [](std::int64_t number) { return number != 0; },
                          [](std::uint64_t number) { return number != 0; },
                          [](double number) { return number != 0.0; },
                          [](const std::string& text) { return !text.empty(); },
                          [](const List& list) { return !list.empty(); },
                          [](const Map& map) { return !map.empty(); },
                          [](const NdArray& array) { return array.element_count() != 0; },
                      },
                      value.kind());
}

const Value* find(const Map& map, std::string_view key) {
    for (const auto& [name, value] : map) {
        if (name == key) return &value;
    }
    return nullptr;
}

Value* find(Map& map, std::string_view key) {
    for (auto& [name, value] : map) {
        if (name == key) return &value;
    }
    return nullptr;
}

const Value& find_or_null(const Map& map, std::string_view key) {
    static const Value null;
    const Value* value = find(map, key);
    return value ? *value : null;
}

void put(Map& map, std::string key, Value value) {
    if (Value* there = find(map, key)) {
        *there = std::move(value);
        return;
    }
    map.emplace_back(std::move(key), std::move(value));
}

std::string printable(std::string_view text, std::size_t max_bytes) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(std::min(text.size(), max_bytes) + 8);
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        // Cut before a character, never inside one: a UTF-8 continuation byte is 10xxxxxx.
        if (out.size() >= max_bytes && (c & 0xC0) != 0x80) break;
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (i < text.size()) out += "\u2026";
    return out;
}

std::string to_text(const Value& value) {
    std::string out;
    append_text(out, value);
    return out;
}

}  // namespace zelt
