#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace zelt {

// Every failure of the messaging layer: decoding, encoding, configuration, sockets.
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// An n-dimensional numeric array: NumPy type string, shape, and the elements in C order.
// The bytes are borrowed: `owner` keeps the memory they live in alive (a received ZeroMQ
// message, for instance); an array made with `view` has no owner and must not outlive the
// caller's buffer.
// Where the elements of an array lie when they are not in the message: one slot of a ring of
// shared memory the service handed to a client on the same host (ext type 2 on the wire).
struct SlotRef {
    std::string token;  // the ring's session token
    std::uint64_t slot = 0;
};

class NdArray {
  public:
    NdArray() = default;
    // Checks the type string and that `size` is product(shape) x item size; throws zelt::Error.
    NdArray(std::string typestr, std::vector<std::uint64_t> shape, const void* data,
            std::size_t size, std::shared_ptr<const void> owner);

    // A frame its sender compressed: `typestr` and `shape` describe the elements, `data` and
    // `size` the compressed bytes, one chunk of `codec` ("bslz4"). Throws zelt::Error for an
    // unknown type string or codec.
    static NdArray precompressed(std::string typestr, std::vector<std::uint64_t> shape,
                                 std::string codec, const void* data, std::size_t size,
                                 std::shared_ptr<const void> owner);
    // A view on the caller's memory: nothing is copied, the caller keeps it alive.
    static NdArray view(std::string typestr, std::vector<std::uint64_t> shape, const void* data);
    template <class T>
    static NdArray view(const std::vector<T>& values, std::vector<std::uint64_t> shape);
    template <class T>
    static NdArray view(const T* values, std::vector<std::uint64_t> shape);

    const std::string& typestr() const { return typestr_; }
    const std::vector<std::uint64_t>& shape() const { return shape_; }
    const char* data() const { return static_cast<const char*>(data_); }
    // The bytes at data(): the elements, or a pre-compressed frame's chunk.
    std::size_t size_bytes() const { return size_; }
    // The codec of a pre-compressed frame; empty for elements as they are.
    const std::string& codec() const { return codec_; }
    bool precompressed() const { return !codec_.empty(); }
    // The bytes of the elements, compressed or not.
    std::uint64_t raw_bytes() const { return element_count() * item_size(); }
    std::size_t item_size() const;
    std::uint64_t element_count() const;
    const std::shared_ptr<const void>& owner() const { return owner_; }
    // Set when the elements lie in a shared slot: sent as a slot reference, not inline.
    const std::optional<SlotRef>& slot() const { return slot_; }
    NdArray with_slot(SlotRef slot) const {
        NdArray out = *this;
        out.slot_ = std::move(slot);
        return out;
    }
    // Whether the elements lie in memory another process may still write (a received slot):
    // whoever keeps them past the request copies them first.
    bool borrowed() const { return borrowed_; }
    NdArray as_borrowed() const {
        NdArray out = *this;
        out.borrowed_ = true;
        return out;
    }
    // The same array, its elements copied into memory of its own.
    NdArray owned_copy() const;
    // "<u2 [512, 512]": what a log line shows of an array.
    std::string describe() const;

    friend bool operator==(const NdArray& a, const NdArray& b);

  private:
    std::string typestr_;
    std::vector<std::uint64_t> shape_;
    const void* data_ = nullptr;
    std::size_t size_ = 0;
    std::shared_ptr<const void> owner_;
    std::string codec_;
    std::optional<SlotRef> slot_;
    bool borrowed_ = false;
};

// NumPy's type string of a C++ element type, in this machine's byte order.
template <class T>
std::string typestr_of();

class Value;
using List = std::vector<Value>;
using Map = std::vector<std::pair<std::string, Value>>;  // wire order kept

// One value of a request record: null, boolean, integer, floating-point number, text,
// list, map with text keys in insertion order, or an n-dimensional array.
class Value {
  public:
    using Kind = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double,
                              std::string, List, Map, NdArray>;

    Value() = default;  // null
    Value(std::nullptr_t) {}
    Value(bool flag) : kind_(flag) {}
    Value(const char* text);  // without it a literal silently becomes bool
    Value(std::string text) : kind_(std::move(text)) {}
    Value(std::string_view text) : kind_(std::string(text)) {}
    template <class I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>, int> = 0>
    Value(I number) {  // int64, or uint64 only above the int64 range
        if constexpr (std::is_unsigned_v<I>) {
            if (static_cast<std::uint64_t>(number) > INT64_MAX) {
                kind_ = static_cast<std::uint64_t>(number);
                return;
            }
        }
        kind_ = static_cast<std::int64_t>(number);
    }
    Value(double number) : kind_(number) {}
    Value(float number) : kind_(static_cast<double>(number)) {}
    Value(List list) : kind_(std::move(list)) {}
    Value(Map map) : kind_(std::move(map)) {}
    Value(NdArray array) : kind_(std::move(array)) {}

    const Kind& kind() const { return kind_; }
    Kind& kind() { return kind_; }

    bool is_null() const { return std::holds_alternative<std::monostate>(kind_); }
    template <class T>
    bool is() const {
        return std::holds_alternative<T>(kind_);
    }
    template <class T>
    const T* as() const {
        return std::get_if<T>(&kind_);
    }
    template <class T>
    T* as() {
        return std::get_if<T>(&kind_);
    }

    // The name of the kind, for error messages: "null", "integer", "map", ...
    const char* kind_name() const;

    friend bool operator==(const Value& a, const Value& b) { return a.kind_ == b.kind_; }
    friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

  private:
    Kind kind_;
};

// Truth as requests mean it ("block", "batch"): boolean true, a non-zero number, or a
// non-empty text, list, map or array. Null, false, zero and empty values are false.
bool is_true(const Value& value);

// The value under `key` in `map`, or nullptr. Maps are small; a linear search keeps order.
const Value* find(const Map& map, std::string_view key);
Value* find(Map& map, std::string_view key);
// The value under `key` in `map`, or null when the key is absent ("absent counts as null").
const Value& find_or_null(const Map& map, std::string_view key);
// Puts `value` under `key`: replaces it in place when the key is there, else appends.
void put(Map& map, std::string key, Value value);

// The shortest text that reads back to the same double, laid out as Python's repr and the
// notifications' JSON: "12.5", "3.0", "1e-05", "1e+16"; NaN and infinities as JSON5 names.
std::string float_text(double value);

// The value as one line of text, for logs: arrays as type string and shape, never bytes.
std::string to_text(const Value& value);

// `text` as a log line or a fixed output line may show it: control characters escaped ("\n",
// "\t", "\x1b"), so that a client's text can never start a line of its own, and cut at
// `max_bytes` (at a character's start) with "…" when longer. Printable text is unchanged.
std::string printable(std::string_view text, std::size_t max_bytes = std::string_view::npos);

template <class T>
std::string typestr_of() {
    constexpr bool little = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
    const char order = sizeof(T) == 1 ? '|' : (little ? '<' : '>');
    char kind;
    if constexpr (std::is_same_v<T, bool>) {
        kind = 'b';
    } else if constexpr (std::is_floating_point_v<T>) {
        kind = 'f';
    } else if constexpr (std::is_signed_v<T>) {
        kind = 'i';
    } else {
        kind = 'u';
    }
    return std::string{order, kind} + std::to_string(sizeof(T));
}

template <class T>
NdArray NdArray::view(const std::vector<T>& values, std::vector<std::uint64_t> shape) {
    std::uint64_t count = 1;
    for (auto dim : shape) count *= dim;
    if (count != values.size()) {
        throw Error("array view: shape holds " + std::to_string(count) + " elements, vector " +
                    std::to_string(values.size()));
    }
    return view(typestr_of<T>(), std::move(shape), values.data());
}

template <class T>
NdArray NdArray::view(const T* values, std::vector<std::uint64_t> shape) {
    return view(typestr_of<T>(), std::move(shape), values);
}

}  // namespace zelt
