#pragma once

#include <string>
#include <vector>

#include "Column.hpp"
#include "h5/h5.hpp"

namespace scrivell {

// Creates a contiguous, fixed-size dataset at `path` below `loc`, groups created along it.
h5::Dataset create_dataset(hid_t loc, const std::string& path, hid_t file_type,
                           const std::vector<hsize_t>& dims, const std::string& file);

// Writes `column` stacked along a new first axis at `name` below `loc`: over the existing
// dataset in place when the path exists (its shape must be the stack's), else as a new
// dataset. With `batch`, each value is a stack of items and the first two axes are merged.
// Items are written where they lie, one hyperslab each: nothing is copied into one buffer.
void write_column(hid_t loc, const std::string& name, const Column& column, bool batch,
                  const std::string& file);

}  // namespace scrivell
