#pragma once

// Where datasets, blocks and masters may be named without taking another's place.
#include <string>

#include "file_table.hpp"

namespace scrivell {

// Refuses the master `filepath`, named like a sub-file, in a directory where another open
// file writes blocks: a block would replace it. Throws Error.
void refuse_master_among_blocks(const OrderedMap<FileEntry>& files, const Directory& dir,
                                const std::string& filepath);

// Whether writing at `path` would take the place of split dataset `split`'s block links
// ("split/data_NNNN", written or to come), of the groups that must hold them (`split` and
// the groups above it), or, with `vds`, of its virtual dataset "split/data". Both are normal
// paths.
bool collides_with_split(const std::string& path, const std::string& split, bool vds = false);

// Refuses (Error naming `what`) a write at `path` that collides with a split dataset of
// `entry`.
void refuse_split_links(const FileEntry& entry, const std::string& path, const std::string& what);

// Refuses (Error naming `where`) to register `name` in `entry` when it is "fp", a name of the
// other kind, another spelling of a registered name, or where a split dataset links blocks
// (or, registering one with `vds`, makes its virtual dataset).
void refuse_taken_name(const FileEntry& entry, const std::string& name, bool splitting,
                       const std::string& where, bool vds = false);

}  // namespace scrivell
