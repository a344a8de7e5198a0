#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Directory.hpp"
#include "h5/h5.hpp"

namespace scrivell {

// An HDF5 identifier, as wide as hid_t (split_files.cpp checks that they are one type).
using hid = std::int64_t;

// A master file opened by `open`, owned by its file-table entry until `close`.
class MasterFileHandle {
  public:
    explicit MasterFileHandle(hid id) : id_(id) {}
    MasterFileHandle(MasterFileHandle&& other) noexcept;
    MasterFileHandle& operator=(MasterFileHandle&& other) noexcept;
    MasterFileHandle(const MasterFileHandle&) = delete;
    MasterFileHandle& operator=(const MasterFileHandle&) = delete;
    ~MasterFileHandle();  // fallback only: closes without reporting

    hid id() const { return id_; }
    // Why the file can no longer be completed; empty while it can.
    const std::string& lost() const { return lost_; }
    // Writes everything the file holds to disk. Throws H5Error naming `filepath`; after a
    // failed flush the file can no longer be completed, and every later flush or close throws.
    void flush(const std::string& filepath);
    // As flush(), after a request failed: the failure already reported is the one that counts.
    void flush_after_failure() noexcept;
    // The real close: flushes, then closes. Throws H5Error. The handle is kept until the file
    // has closed, so that a failed close can be tried again.
    void close();

  private:
    hid id_;
    std::string lost_;
};

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
