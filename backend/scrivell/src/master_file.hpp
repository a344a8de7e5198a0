#pragma once

#include <optional>
#include <scrivell/Directory.hpp>
#include <string>

#include "h5/h5.hpp"

namespace scrivell {

// Opens the existing master file `filepath` (named `base_name(filepath)` in `dir`) read-write,
// through the descriptor that opened it: a link or a FIFO planted there is refused, not
// followed. nullopt when nothing is there. With `after_crash`, HDF5's "open for writing" mark
// of a killed service is cleared, as h5clear -s does. A negative id is HDF5's refusal, whose
// reason is on its error stack. Throws Error for a file of another kind.
std::optional<hid_t> open_master_file(const Directory& dir, const std::string& filepath,
                                      bool after_crash);

// Creates the master file `filepath` in `dir`, where nothing may be. Throws Error or H5Error.
hid_t create_master_file(const Directory& dir, const std::string& filepath);

}  // namespace scrivell
