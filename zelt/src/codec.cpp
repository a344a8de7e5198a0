#include <algorithm>
#include <cstring>
#include <limits>
#include <msgpack.hpp>
#include <zelt/codec.hpp>
#include <zelt/overload.hpp>

namespace zelt {

namespace {

// Streams for msgpack's packer: one counts, one writes into memory sized beforehand, so an
// encoded frame is copied exactly once, into the outgoing message.
struct CountingStream {
    std::size_t size = 0;
    void write(const char*, std::size_t n) { size += n; }
};

struct FixedStream {
    char* out;
    void write(const char* data, std::size_t n) {
        if (n) std::memcpy(out, data, n);
        out += n;
    }
};

std::uint32_t wire_length(std::size_t n, const char* what) {
    if (n > std::numeric_limits<std::uint32_t>::max()) {
        throw Error(std::string("encode: ") + what + " of " + std::to_string(n) +
                    " is too long for MessagePack");
    }
    return static_cast<std::uint32_t>(n);
}

template <class Stream>
void pack_text(msgpack::packer<Stream>& packer, const std::string& text) {
    packer.pack_str(wire_length(text.size(), "text"));
    packer.pack_str_body(text.data(), static_cast<std::uint32_t>(text.size()));
}

// The typestr and the shape, the first two members of both array encodings.
template <class Stream>
void pack_type_and_shape(msgpack::packer<Stream>& packer, const NdArray& array) {
    pack_text(packer, array.typestr());
    packer.pack_array(wire_length(array.shape().size(), "shape"));
    for (auto dim : array.shape()) packer.pack_uint64(dim);
}

template <class Stream>
void pack_header(msgpack::packer<Stream>& packer, const NdArray& array) {
    packer.pack_array(array.precompressed() ? 3 : 2);
    pack_type_and_shape(packer, array);
    if (array.precompressed()) pack_text(packer, array.codec());
}

std::size_t header_size(const NdArray& array) {
    CountingStream counter;
    msgpack::packer<CountingStream> packer(counter);
    pack_header(packer, array);
    return counter.size;
}

template <class Stream>
void pack_slot_body(msgpack::packer<Stream>& packer, const NdArray& array) {
    packer.pack_array(5);
    pack_type_and_shape(packer, array);
    pack_text(packer, array.slot()->token);
    packer.pack_uint64(array.slot()->slot);
    packer.pack_uint64(array.size_bytes());
}

// A slot reference: ext type 2 around [typestr, shape, token, slot, nbytes].
template <class Stream>
void pack_slot_ref(msgpack::packer<Stream>& packer, const NdArray& array) {
    CountingStream counter;
    msgpack::packer<CountingStream> counting(counter);
    pack_slot_body(counting, array);
    packer.pack_ext(wire_length(counter.size, "slot reference"), slot_ext_type);
    pack_slot_body(packer, array);
}

// Always float 64: msgpack-c's pack_double writes integral doubles as integers, and 3.0 must
// arrive as a float.
template <class Stream>
void pack_float64(msgpack::packer<Stream>& packer, double number) {
    std::uint64_t bits;
    std::memcpy(&bits, &number, sizeof bits);
    char buffer[9];
    buffer[0] = static_cast<char>(0xcb);
    for (int i = 0; i < 8; ++i) buffer[1 + i] = static_cast<char>(bits >> (56 - 8 * i));
    packer.pack_str_body(buffer, sizeof buffer);  // appends the bytes as they are
}

template <class Stream>
void pack(msgpack::packer<Stream>& packer, const Value& value) {
    std::visit(
        Overload{
            [&](std::monostate) { packer.pack_nil(); },
            [&](bool flag) { flag ? packer.pack_true() : packer.pack_false(); },
            [&](std::int64_t number) { packer.pack_int64(number); },
            [&](std::uint64_t number) { packer.pack_uint64(number); },
            [&](double number) { pack_float64(packer, number); },
            [&](const std::string& text) { pack_text(packer, text); },
            [&](const List& list) {
                packer.pack_array(wire_length(list.size(), "list"));
                for (const auto& item : list) pack(packer, item);
            },
            [&](const Map& map) {
                packer.pack_map(wire_length(map.size(), "map"));
                for (const auto& [key, item] : map) {
                    pack_text(packer, key);
                    pack(packer, item);
                }
            },
            [&](const NdArray& array) {
                if (array.slot()) {
                    pack_slot_ref(packer, array);
                    return;
                }
                const std::size_t header = header_size(array);
                packer.pack_ext(wire_length(header + array.size_bytes(), "array"),
                                array.precompressed() ? precompressed_ext_type : ndarray_ext_type);
                // The ext body is the header, packed in place, then the raw elements.
                pack_header(packer, array);
                packer.pack_ext_body(array.data(), static_cast<std::uint32_t>(array.size_bytes()));
            },
        },
        value.kind());
}

bool is_valid_utf8(const char* text, std::size_t size) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const auto* end = p + size;
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t extra;
        std::uint32_t code;
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            code = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            code = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= extra) return false;
        for (std::size_t i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i] & 0x3F);
        }
        static constexpr std::uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        p += extra + 1;
    }
    return true;
}

// Builds a Value while msgpack's parser walks the bytes. Everything msgpack does not check
// itself is checked here: text keys, UTF-8, the ext type, the array length, the depth.
// Containers reserve no more elements than bytes are left, so a forged length cannot make
// an allocation larger than the message.
class Decoder : public msgpack::null_visitor {
  public:
    // `depth` is how deep the bytes sit in the message: an ext payload is decoded by a decoder
    // of its own, which counts on from its ext, so nesting through payloads is bounded too.
    Decoder(const char* begin, std::size_t size, std::shared_ptr<const void> owner,
            const SlotResolver* resolver = nullptr, std::size_t depth = 0)
        : begin_(begin),
          end_(begin + size),
          owner_(std::move(owner)),
          resolver_(resolver),
          depth_(depth) {}

    Value take() { return std::move(root_); }

    bool visit_nil() { return emit(Value()); }
    bool visit_boolean(bool v) { return emit(Value(v)); }
    bool visit_positive_integer(std::uint64_t v) { return emit(Value(v)); }
    bool visit_negative_integer(std::int64_t v) { return emit(Value(v)); }
    bool visit_float32(float v) { return emit(Value(static_cast<double>(v))); }
    bool visit_float64(double v) { return emit(Value(v)); }
    bool visit_str(const char* v, std::uint32_t size) {
        if (!is_valid_utf8(v, size)) fail("text is not valid UTF-8", v);
        if (expecting_key()) {
            stack_.back().key.assign(v, size);
            return true;
        }
        return emit(Value(std::string(v, size)));
    }
    bool visit_bin(const char* v, std::uint32_t) { fail("bin is not a value of this protocol", v); }
    bool visit_ext(const char* v, std::uint32_t size) {
        refuse_deeper(v);
        const auto type = static_cast<std::int8_t>(v[0]);
        if (type == slot_ext_type) {
            if (!resolver_) fail("a shared-memory slot is not accepted on this connection", v);
            return emit(Value(decode_slot_ref(v + 1, size - 1)));
        }
        if (type != ndarray_ext_type && type != precompressed_ext_type) {
            fail("ext type " + std::to_string(type) + " is not a value of this protocol", v);
        }
        return emit(Value(decode_array(v + 1, size - 1, type == precompressed_ext_type)));
    }
    bool start_array(std::uint32_t n) {
        open(v_is_list, n);
        return true;
    }
    bool end_array() { return close(); }
    bool start_map(std::uint32_t n) {
        open(v_is_map, n);
        return true;
    }
    bool start_map_key() {
        stack_.back().in_key = true;
        return true;
    }
    bool end_map_key() {
        stack_.back().in_key = false;
        return true;
    }
    bool end_map() { return close(); }
    void parse_error(std::size_t, std::size_t error_offset) {
        throw Error("decode: malformed MessagePack at byte " + std::to_string(error_offset));
    }
    void insufficient_bytes(std::size_t, std::size_t) {
        throw Error("decode: message truncated after " +
                    std::to_string(static_cast<std::size_t>(end_ - begin_)) + " bytes");
    }

  private:
    static constexpr std::size_t reserve_bound = 256;
    static constexpr bool v_is_list = false;
    static constexpr bool v_is_map = true;

    struct Frame {
        Value value;
        bool is_map;
        bool in_key = false;
        std::string key;
    };

    bool expecting_key() const { return !stack_.empty() && stack_.back().in_key; }

    // How deep a container or ext opened here would sit in the whole message.
    std::size_t depth() const { return depth_ + stack_.size(); }

    void refuse_deeper(const char* at) const {
        if (depth() < max_nesting_depth) return;
        const std::string why = "nesting deeper than " + std::to_string(max_nesting_depth);
        if (at) fail(why, at);
        throw Error("decode: " + why);
    }

    [[noreturn]] void fail(const std::string& why, const char* at) const {
        throw Error("decode: " + why + " (byte " + std::to_string(at - begin_) + ")");
    }

    void open(bool is_map, std::uint32_t n) {
        if (expecting_key()) throw Error("decode: a map key is not text");
        refuse_deeper(nullptr);
        Frame frame{is_map ? Value(Map{}) : Value(List{}), is_map, false, {}};
        // The length is only a claim until the elements have been read: reserve a little and
        // let real elements grow the container, so that forged lengths, even nested ones,
        // allocate nothing in proportion to what they claim.
        const std::size_t bound = std::min<std::size_t>(n, reserve_bound);
        if (is_map) {
            frame.value.as<Map>()->reserve(bound);
        } else {
            frame.value.as<List>()->reserve(bound);
        }
        stack_.push_back(std::move(frame));
    }

    bool close() {
        Value done = std::move(stack_.back().value);
        if (stack_.back().is_map) refuse_duplicate_keys(*done.as<Map>());
        stack_.pop_back();
        return emit(std::move(done));
    }

    // Readers disagree on which of two equal keys wins (msgpack for Python keeps the last):
    // a map that holds one key twice is refused rather than read one way.
    static void refuse_duplicate_keys(const Map& map) {
        if (map.size() < 2) return;
        std::vector<const std::string*> keys;
        keys.reserve(map.size());
        for (const auto& entry : map) keys.push_back(&entry.first);
        std::sort(keys.begin(), keys.end(),
                  [](const std::string* a, const std::string* b) { return *a < *b; });
        for (std::size_t i = 1; i < keys.size(); ++i) {
            if (*keys[i] == *keys[i - 1]) {
                throw Error("decode: a map holds the key \"" + *keys[i] + "\" twice");
            }
        }
    }

    bool emit(Value value) {
        if (stack_.empty()) {
            root_ = std::move(value);
            return true;
        }
        Frame& top = stack_.back();
        if (top.in_key) throw Error("decode: a map key is not text");
        if (top.is_map) {
            top.value.as<Map>()->emplace_back(std::move(top.key), std::move(value));
            top.key.clear();
        } else {
            top.value.as<List>()->push_back(std::move(value));
        }
        return true;
    }

    // [typestr, shape, token, slot, nbytes], handed to the resolver, which checks the rest.
    NdArray decode_slot_ref(const char* payload, std::size_t size) {
        Decoder body_decoder(payload, size, nullptr, nullptr, depth() + 1);
        std::size_t offset = 0;
        if (!msgpack::parse(payload, size, offset, body_decoder) || offset != size) {
            fail("slot reference is malformed", payload);
        }
        Value body = body_decoder.take();
        const List* parts = body.as<List>();
        auto whole = [](const Value& v, std::uint64_t& out) {
            if (const auto* n = v.as<std::int64_t>(); n && *n >= 0) {
                out = static_cast<std::uint64_t>(*n);
                return true;
            }
            if (const auto* u = v.as<std::uint64_t>()) {
                out = *u;
                return true;
            }
            return false;
        };
        std::uint64_t slot = 0;
        std::uint64_t nbytes = 0;
        if (!parts || parts->size() != 5 || !(*parts)[0].is<std::string>() ||
            !(*parts)[1].is<List>() || !(*parts)[2].is<std::string>() ||
            !whole((*parts)[3], slot) || !whole((*parts)[4], nbytes)) {
            fail("slot reference is not [typestr, shape, token, slot, nbytes]", payload);
        }
        std::vector<std::uint64_t> shape;
        for (const auto& dim : *(*parts)[1].as<List>()) {
            std::uint64_t n = 0;
            if (!whole(dim, n)) fail("slot reference shape holds a non-integer", payload);
            shape.push_back(n);
        }
        return (*resolver_)(*(*parts)[0].as<std::string>(), std::move(shape),
                            *(*parts)[2].as<std::string>(), slot, nbytes);
    }

    NdArray decode_array(const char* payload, std::size_t size, bool precompressed) {
        Decoder header_decoder(payload, size, nullptr, nullptr, depth() + 1);
        std::size_t offset = 0;
        if (!msgpack::parse(payload, size, offset, header_decoder)) {
            fail("array header is malformed", payload);
        }
        Value header = header_decoder.take();
        const List* parts = header.as<List>();
        const std::size_t members = precompressed ? 3 : 2;
        if (!parts || parts->size() != members || !(*parts)[0].is<std::string>() ||
            !(*parts)[1].is<List>() || (precompressed && !(*parts)[2].is<std::string>())) {
            fail(precompressed ? "pre-compressed frame header is not [typestr, shape, codec]"
                               : "array header is not [typestr, shape]",
                 payload);
        }
        std::vector<std::uint64_t> shape;
        for (const auto& dim : *(*parts)[1].as<List>()) {
            if (const auto* n = dim.as<std::int64_t>(); n && *n >= 0) {
                shape.push_back(static_cast<std::uint64_t>(*n));
            } else if (const auto* u = dim.as<std::uint64_t>()) {
                shape.push_back(*u);
            } else {
                fail("array shape holds something other than a non-negative integer", payload);
            }
        }
        if (precompressed) {
            return NdArray::precompressed(*(*parts)[0].as<std::string>(), std::move(shape),
                                          *(*parts)[2].as<std::string>(), payload + offset,
                                          size - offset, owner_);
        }
        return NdArray(*(*parts)[0].as<std::string>(), std::move(shape), payload + offset,
                       size - offset, owner_);
    }

    const char* begin_;
    const char* end_;
    std::shared_ptr<const void> owner_;
    const SlotResolver* resolver_ = nullptr;
    std::size_t depth_ = 0;
    std::vector<Frame> stack_;
    Value root_;
};

}  // namespace

namespace {

std::size_t levels_below(const Value& value, std::size_t above) {
    // Past the bound the answer is known: no deeper walk, however deep the value.
    if (above > max_nesting_depth) return 0;
    std::size_t most = 0;
    if (const auto* map = value.as<Map>()) {
        for (const auto& entry : *map) most = std::max(most, levels_below(entry.second, above + 1));
        return 1 + most;
    }
    if (const auto* list = value.as<List>()) {
        for (const auto& item : *list) most = std::max(most, levels_below(item, above + 1));
        return 1 + most;
    }
    return value.is<NdArray>() ? 2 : 0;
}

}  // namespace

std::size_t nesting_levels(const Value& value) { return levels_below(value, 0); }

std::size_t encoded_size(const Value& value) {
    CountingStream counter;
    msgpack::packer<CountingStream> packer(counter);
    pack(packer, value);
    return counter.size;
}

void encode_into(const Value& value, char* out) {
    FixedStream stream{out};
    msgpack::packer<FixedStream> packer(stream);
    pack(packer, value);
}

std::string dumps(const Value& value) {
    std::string bytes(encoded_size(value), '\0');
    encode_into(value, bytes.data());
    return bytes;
}

Value loads(const char* data, std::size_t size, std::shared_ptr<const void> owner,
            const SlotResolver* resolver) {
    if (size == 0) throw Error("decode: empty message");
    Decoder decoder(data, size, std::move(owner), resolver);
    std::size_t offset = 0;
    if (!msgpack::parse(data, size, offset, decoder)) {
        throw Error("decode: malformed MessagePack");
    }
    if (offset != size) {
        throw Error("decode: " + std::to_string(size - offset) + " trailing bytes after the value");
    }
    return decoder.take();
}

}  // namespace zelt
