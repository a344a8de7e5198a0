#pragma once

#include <string>
#include <zelt/Value.hpp>

#include "OrderedMap.hpp"
#include "h5/h5.hpp"

namespace scrivell {

// The leaves of `map` under their "/"-joined paths, depth-first; list positions are keys.
// Empty maps and lists are leaves. A later route to a path already seen keeps the first
// one's place and takes the later value.
OrderedMap<zelt::Value> flatten(const zelt::Map& map);

// What flattening a map costs, counted before anything is built: about the bytes the request
// takes, and the bytes its flat paths and leaves would take in memory.
struct FlattenCost {
    std::uint64_t request_bytes = 0;
    std::uint64_t flat_bytes = 0;
};
FlattenCost flatten_cost(const zelt::Map& map);
// The most a map may make in memory: this many times its own size, or 16 MiB for small maps.
inline constexpr std::uint64_t max_flatten_factor = 16;
inline constexpr std::uint64_t min_flatten_bound = 16 << 20;

// Writes one leaf at `path`: a new dataset, or over the existing one in place. With
// `recreate_text`, a text over a dataset that is not a variable-length string replaces it.
void write_leaf(hid_t file, const std::string& path, const zelt::Value& value, bool recreate_text,
                const std::string& filename);

}  // namespace scrivell
