#pragma once

#include <cstdint>

#include "file_table.hpp"
#include "records.hpp"

namespace scrivell {

// Applies `record` to the tables of `entry`: the one place where an open file's state
// changes, for requests and for a restart alike. Effects outside the tables (HDF5 writes,
// renames, links, notifications) are not made here. `held_bytes` counts the appended values
// held in memory. Throws Error for a record the tables cannot take (a journal that disagrees
// with itself), leaving them unchanged.
void apply(FileEntry& entry, const Record& record, std::uint64_t& held_bytes);

// Records `record` in the journal of `entry` when it keeps one, then applies it.
void commit(FileEntry& entry, const Record& record, std::uint64_t& held_bytes);

}  // namespace scrivell
