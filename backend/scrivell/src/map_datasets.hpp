#pragma once

#include <scrivell/OrderedMap.hpp>
#include <string>
#include <zelt/Value.hpp>

#include "h5/h5.hpp"

namespace scrivell {

// The leaves of `map` under their "/"-joined paths, depth-first; list positions are keys.
// Empty maps and lists are leaves. A later route to a path already seen keeps the first
// one's place and takes the later value.
OrderedMap<zelt::Value> flatten(const zelt::Map& map);

// Writes one leaf at `path`: a new dataset, or over the existing one in place. With
// `recreate_text`, a text over a dataset that is not a variable-length string replaces it.
void write_leaf(hid_t file, const std::string& path, const zelt::Value& value, bool recreate_text,
                const std::string& filename);

}  // namespace scrivell
