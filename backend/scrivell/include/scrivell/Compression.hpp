#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include <zelt/Value.hpp>

namespace scrivell {

// How the rows of a split dataset's blocks are stored: as they are, or compressed one row per
// chunk with an HDF5 filter that readers with the usual filter plugins know.
struct Compression {
    enum class Codec { None, Bslz4, BloscLz4, BloscZstd };
    Codec codec = Codec::None;
    int level = 5;  // Blosc's compression level, 0-9

    // Takes the option `key` of a "datainfolist" item when it is the codec's ("compression",
    // "compression_level"); returns false for any other key. Throws Error naming `where` and
    // the choices for a value it cannot take.
    bool take_option(const std::string& key, const zelt::Value& value, const std::string& where);
    // The codec's name as a request gives it ("none", "bslz4", "blosc-lz4", "blosc-zstd").
    std::string name() const;
    // The codec a name gives. Throws Error naming `where` and the choices.
    static Codec codec_named(const std::string& name, const std::string& where);
    bool none() const { return codec == Codec::None; }

    // The HDF5 filter (32008 bitshuffle, 32001 Blosc) and the parameters a dataset of
    // `element_bytes` elements is created with.
    unsigned filter_id() const;
    std::vector<unsigned> filter_parameters(std::uint64_t element_bytes) const;

    // The largest row a chunk of the codec holds: HDF5's chunks stay below 4 GiB, Blosc's
    // buffers below 2 GiB.
    std::uint64_t max_row_bytes() const;
    // Throws Error, naming the package, when the codec's library cannot be loaded here.
    void check_available() const;

    // One row of `size` bytes of `element_bytes` elements as the filter stores it in a chunk.
    // Safe to call from several threads at once. Throws Error.
    std::vector<char> compress(const char* row, std::uint64_t size,
                               std::uint64_t element_bytes) const;
};

// Checks that `chunk` is one bitshuffle-LZ4 chunk of `raw_bytes` bytes of `element_bytes`
// elements: its header and the chain of its block lengths. With `decode`, decodes it too.
// Returns why not; empty when it is.
std::string why_not_bslz4_chunk(const char* chunk, std::uint64_t size, std::uint64_t raw_bytes,
                                std::uint64_t element_bytes, bool decode);

}  // namespace scrivell
