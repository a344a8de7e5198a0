#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <zelt/Value.hpp>

namespace zelt {

// The MessagePack ext type that carries an n-dimensional array.
inline constexpr std::int8_t ndarray_ext_type = 1;
// ext type 2: an array whose elements lie in a shared slot, [typestr, shape, token, slot, nbytes].
inline constexpr std::int8_t slot_ext_type = 2;
// ext type 3: a frame its sender compressed, [typestr, shape, codec] then the compressed bytes.
inline constexpr std::int8_t precompressed_ext_type = 3;

// Turns a slot reference into an array over the slot's memory, after checking it. Throws
// zelt::Error for a reference it refuses.
using SlotResolver = std::function<NdArray(const std::string& typestr,
                                           std::vector<std::uint64_t> shape,
                                           const std::string& token, std::uint64_t slot,
                                           std::uint64_t nbytes)>;
// Deeper nesting than this is refused by the decoder.
inline constexpr std::size_t max_nesting_depth = 64;

// How many levels of nesting the decoder counts in `value`: one per map or list, two for an
// array (its ext and the header inside). A value of more than max_nesting_depth levels is
// refused by the decoder; the count stops a little past that bound.
std::size_t nesting_levels(const Value& value);

// The exact number of bytes `encode_into` writes for `value`.
std::size_t encoded_size(const Value& value);
// Writes the MessagePack encoding of `value` into `out`, which holds encoded_size(value)
// bytes. Throws zelt::Error for a value the wire cannot carry (a list longer than 2^32-1).
void encode_into(const Value& value, char* out);
// The encoding as a string of bytes.
std::string dumps(const Value& value);

// Decodes one MessagePack value that fills `data` exactly. Texts are copied; array bytes are
// referenced in place, kept alive by `owner` (null: the caller keeps `data` alive).
// Throws zelt::Error for anything the protocol refuses, naming the cause.
// Slot references are refused unless `resolver` is given.
Value loads(const char* data, std::size_t size, std::shared_ptr<const void> owner = nullptr,
            const SlotResolver* resolver = nullptr);
inline Value loads(const std::string& bytes) { return loads(bytes.data(), bytes.size()); }

}  // namespace zelt
