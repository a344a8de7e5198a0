#pragma once

#include <optional>
#include <scrivell/Directory.hpp>
#include <string>

#include "h5/h5.hpp"

namespace scrivell {

// A master file HDF5 opened (`id`), or its refusal: a negative id and HDF5's reason.
struct OpenedMaster {
    hid_t id = H5I_INVALID_HID;
    std::string refusal;
};

// Opens the existing master file `filepath` (named `base_name(filepath)` in `dir`) read-write,
// through the descriptor that opened it: a link or a FIFO planted there is refused, not
// followed. nullopt when nothing is there. With `after_crash`, HDF5's "open for writing" mark
// of a killed service is cleared, as h5clear -s does. Throws Error for a file of another kind.
std::optional<OpenedMaster> open_master_file(const Directory& dir, const std::string& filepath,
                                             bool after_crash);

// Creates the master file `filepath` in `dir`, where nothing may be. Throws Error or H5Error.
hid_t create_master_file(const Directory& dir, const std::string& filepath);

}  // namespace scrivell
