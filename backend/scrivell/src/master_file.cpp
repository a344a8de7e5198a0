#include "master_file.hpp"

#include <fcntl.h>

namespace scrivell {

namespace {

h5::Plist master_access(bool after_crash) {
    h5::Plist fapl{h5::check(H5Pcreate(H5P_FILE_ACCESS), "create", "file access list")};
    h5::check(H5Pset_libver_bounds(fapl.get(), /*low=*/H5F_LIBVER_LATEST,
                                   /*high=*/H5F_LIBVER_LATEST),
              "set", "library version bounds");
    if (after_crash) {
        hbool_t clear = true;
        h5::check(H5Pset(fapl.get(), "clear_status_flags", &clear), "set", "clear_status_flags");
    }
    return fapl;
}

}  // namespace

std::optional<OpenedMaster> open_master_file(const Directory& dir, const std::string& filepath,
                                             bool after_crash) {
    std::optional<Fd> fd = dir.open_existing(base_name(filepath), O_RDWR);
    if (!fd) return std::nullopt;
    h5::Plist fapl = master_access(after_crash);
    // HDF5 opens the file behind our descriptor; ours is closed once HDF5 holds its own.
    OpenedMaster opened;
    opened.id = H5Fopen(descriptor_path(fd->get()).c_str(), H5F_ACC_RDWR, fapl.get());
    // Read now: the next call into HDF5 (closing the list) empties its error stack.
    if (opened.id < 0) opened.refusal = h5::stack_reason();
    return opened;
}

hid_t create_master_file(const Directory& dir, const std::string& filepath) {
    const std::string name = base_name(filepath);
    h5::Plist fapl = master_access(false);
    Fd fd = dir.create(name);
    // Truncating the empty file just made: HDF5 takes it over through its descriptor.
    const hid_t id =
        H5Fcreate(descriptor_path(fd.get()).c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fapl.get());
    if (id < 0) {
        dir.remove_quietly(name);
        h5::fail("create file", filepath, "");
    }
    return id;
}

}  // namespace scrivell
