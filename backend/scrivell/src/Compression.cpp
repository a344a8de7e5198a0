#include <blosc.h>
#include <dlfcn.h>
#include <lz4.h>

#include <cstring>
#include <scrivell/Compression.hpp>
#include <scrivell/errors.hpp>

#include "h5/h5.hpp"
#include "text.hpp"

namespace scrivell {

namespace {

constexpr unsigned bitshuffle_filter = 32008;
constexpr unsigned blosc_filter = 32001;
constexpr unsigned bitshuffle_lz4 = 2;  // the bitshuffle filter's "compress with LZ4"
constexpr const char* choices = "\"none\", \"bslz4\", \"blosc-lz4\" or \"blosc-zstd\"";

// The bitshuffle library inside the HDF5 filter plugin that readers use: found in HDF5's
// plugin path, and called directly, never through HDF5, so that workers may call it at once.
class Bitshuffle {
  public:
    using Compress = std::int64_t (*)(const void*, void*, std::size_t, std::size_t, std::size_t);
    using Bound = std::size_t (*)(std::size_t, std::size_t, std::size_t);
    using DefaultBlock = std::size_t (*)(std::size_t);

    static const Bitshuffle& get() {
        static const Bitshuffle loaded;
        if (!loaded.error_.empty()) throw Error(loaded.error_);
        return loaded;
    }

    Compress compress = nullptr;
    Bound bound = nullptr;
    DefaultBlock default_block = nullptr;

  private:
    Bitshuffle() {
        std::string tried;
        unsigned paths = 0;
        H5PLsize(&paths);
        for (unsigned i = 0; i < paths && !library_; ++i) {
            char directory[4096] = {};
            if (H5PLget(i, directory, sizeof directory) <= 0) continue;
            const std::string path = std::string(directory) + "/libh5bshuf.so";
            tried += (tried.empty() ? "" : ", ") + path;
            library_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        }
        if (!library_) {
            error_ =
                "bitshuffle: no HDF5 filter plugin libh5bshuf.so (the package bitshuffle) in " +
                (tried.empty() ? std::string("HDF5's plugin path") : tried);
            return;
        }
        compress = reinterpret_cast<Compress>(::dlsym(library_, "bshuf_compress_lz4"));
        bound = reinterpret_cast<Bound>(::dlsym(library_, "bshuf_compress_lz4_bound"));
        default_block =
            reinterpret_cast<DefaultBlock>(::dlsym(library_, "bshuf_default_block_size"));
        if (!compress || !bound || !default_block) {
            error_ = "bitshuffle: the plugin libh5bshuf.so lacks the LZ4 functions";
        }
    }

    void* library_ = nullptr;  // loaded for the life of the process
    std::string error_;
};

void put_be(char* out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8) out[i] = static_cast<char>(value & 0xff);
}

std::uint64_t get_be(const char* in, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | static_cast<unsigned char>(in[i]);
    return value;
}

}  // namespace

Compression::Codec Compression::codec_named(const std::string& name, const std::string& where) {
    if (name == "none") return Codec::None;
    if (name == "bslz4") return Codec::Bslz4;
    if (name == "blosc-lz4") return Codec::BloscLz4;
    if (name == "blosc-zstd") return Codec::BloscZstd;
    throw Error(where + ": compression " + in_quotes(name) + " is none of " + choices);
}

bool Compression::take_option(const std::string& key, const zelt::Value& value,
                              const std::string& where) {
    if (key == "compression") {
        const std::string* name = value.as<std::string>();
        if (!name) throw Error(where + ": \"compression\" is not a text; use " + choices);
        codec = codec_named(*name, where);
        return true;
    }
    if (key == "compression_level") {
        const std::int64_t* given = value.as<std::int64_t>();
        if (!given || *given < 0 || *given > 9) {
            throw Error(where + ": \"compression_level\" " + zelt::to_text(value) +
                        " is not a whole number from 0 to 9");
        }
        level = static_cast<int>(*given);
        return true;
    }
    return false;
}

std::string Compression::name() const {
    switch (codec) {
        case Codec::Bslz4:
            return "bslz4";
        case Codec::BloscLz4:
            return "blosc-lz4";
        case Codec::BloscZstd:
            return "blosc-zstd";
        default:
            return "none";
    }
}

std::uint64_t Compression::max_row_bytes() const {
    if (codec == Codec::None) return UINT64_MAX;
    if (codec == Codec::Bslz4) return (std::uint64_t{1} << 32) - 1;
    return BLOSC_MAX_BUFFERSIZE;
}

void Compression::check_available() const {
    if (codec == Codec::Bslz4) (void)Bitshuffle::get();
    // Blosc compresses in this process, but HDF5 must know the filter to make the dataset:
    // without its plugin every frame would fail.
    if ((codec == Codec::BloscLz4 || codec == Codec::BloscZstd) &&
        H5Zfilter_avail(blosc_filter) <= 0) {
        throw Error("blosc: HDF5 finds no filter " + std::to_string(blosc_filter) +
                    " in its plugin path (the package hdf5-filter-plugin-blosc-serial)");
    }
}

unsigned Compression::filter_id() const {
    return codec == Codec::Bslz4 ? bitshuffle_filter : blosc_filter;
}

std::vector<unsigned> Compression::filter_parameters(std::uint64_t element_bytes) const {
    if (codec == Codec::Bslz4) {
        // Block size (0: the library's default) and LZ4; the plugin's set_local puts its
        // version and the element size before them when the dataset is made.
        return {0, bitshuffle_lz4};
    }
    // Filter and format versions, element size and chunk bytes (set by the plugin when the
    // dataset is made), then level, bit shuffle and the compressor.
    return {2,
            2,
            static_cast<unsigned>(element_bytes),
            0,
            static_cast<unsigned>(level),
            BLOSC_BITSHUFFLE,
            static_cast<unsigned>(codec == Codec::BloscLz4 ? BLOSC_LZ4 : BLOSC_ZSTD)};
}

std::vector<char> Compression::compress(const char* row, std::uint64_t size,
                                        std::uint64_t element_bytes) const {
    if (element_bytes == 0) element_bytes = 1;
    if (codec == Codec::Bslz4) {
        const Bitshuffle& bitshuffle = Bitshuffle::get();
        const std::size_t elements = size / element_bytes;
        const std::size_t block = bitshuffle.default_block(element_bytes);
        std::vector<char> out(12 + bitshuffle.bound(elements, element_bytes, block));
        put_be(out.data(), size, 8);
        put_be(out.data() + 8, block * element_bytes, 4);
        const std::int64_t written =
            bitshuffle.compress(row, out.data() + 12, elements, element_bytes, block);
        if (written < 0) throw Error("bitshuffle-LZ4 failed (" + std::to_string(written) + ")");
        out.resize(12 + static_cast<std::size_t>(written));
        return out;
    }
    std::vector<char> out(size + BLOSC_MAX_OVERHEAD);
    const int written = blosc_compress_ctx(
        level, BLOSC_BITSHUFFLE, element_bytes, size, row, out.data(), out.size(),
        codec == Codec::BloscLz4 ? "lz4" : "zstd", /*blocksize=*/0, /*numinternalthreads=*/1);
    if (written <= 0) throw Error("Blosc failed (" + std::to_string(written) + ")");
    out.resize(static_cast<std::size_t>(written));
    return out;
}

std::string why_not_bslz4_chunk(const char* chunk, std::uint64_t size, std::uint64_t raw_bytes,
                                std::uint64_t element_bytes, bool decode) {
    if (element_bytes == 0) element_bytes = 1;
    if (size < 12)
        return "it has " + std::to_string(size) + " bytes, fewer than its 12-byte header";
    const std::uint64_t total = get_be(chunk, 8);
    const std::uint64_t block_bytes = get_be(chunk + 8, 4);
    if (total != raw_bytes) {
        return "its header says " + std::to_string(total) + " bytes uncompressed, and the frame " +
               "has " + std::to_string(raw_bytes);
    }
    if (block_bytes == 0 || block_bytes % element_bytes != 0 ||
        (block_bytes / element_bytes) % 8 != 0) {
        return "its header's block size " + std::to_string(block_bytes) +
               " is no multiple of 8 elements";
    }
    // The blocks: whole ones, then one of the rest rounded down to 8 elements, each a 4-byte
    // length and that many bytes of LZ4; then the last elements as they are. Decoding is
    // LZ4's bounds-checked call on each block, into exactly the bytes the header promises it:
    // nothing in the chunk is trusted to say how much it may read or write.
    const std::uint64_t elements = raw_bytes / element_bytes;
    const std::uint64_t per_block = block_bytes / element_bytes;
    const std::uint64_t whole_blocks = elements / per_block;
    const std::uint64_t rest_bytes = (elements % per_block) / 8 * 8 * element_bytes;
    const std::uint64_t blocks = whole_blocks + (rest_bytes > 0 ? 1 : 0);
    const std::uint64_t tail = (elements % 8) * element_bytes;
    std::vector<char> decoded;
    if (decode) decoded.resize(std::min(block_bytes, raw_bytes));
    std::uint64_t at = 12;
    for (std::uint64_t i = 0; i < blocks; ++i) {
        if (at + 4 > size) return "block " + std::to_string(i) + " is cut off";
        const std::uint64_t length = get_be(chunk + at, 4);
        at += 4;
        if (length > size - at) {
            return "block " + std::to_string(i) + " says " + std::to_string(length) +
                   " bytes, past the end of the chunk";
        }
        if (decode) {
            const std::uint64_t want = i < whole_blocks ? block_bytes : rest_bytes;
            constexpr auto most = static_cast<std::uint64_t>(LZ4_MAX_INPUT_SIZE);
            if (length > most || want > most || want > decoded.size() ||
                LZ4_decompress_safe(chunk + at, decoded.data(), static_cast<int>(length),
                                    static_cast<int>(want)) != static_cast<int>(want)) {
                return "block " + std::to_string(i) + " does not decode to its " +
                       std::to_string(want) + " bytes";
            }
        }
        at += length;
    }
    if (at + tail != size) {
        return "its blocks and last elements end at byte " + std::to_string(at + tail) +
               ", and the chunk has " + std::to_string(size);
    }
    return "";
}

}  // namespace scrivell
