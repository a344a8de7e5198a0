#include "master_file.hpp"

#include <fcntl.h>

#include <scrivell/errors.hpp>
#include <utility>

#include <scrivell/fail_points.hpp>
#include "text.hpp"

namespace scrivell {

namespace {

h5::Plist master_access(bool after_crash) {
    return h5::file_access({/*latest=*/true, /*clear_status_flags=*/after_crash});
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

MasterFileHandle::MasterFileHandle(MasterFileHandle&& other) noexcept
    : id_(std::exchange(other.id_, H5I_INVALID_HID)), lost_(std::move(other.lost_)) {}

MasterFileHandle& MasterFileHandle::operator=(MasterFileHandle&& other) noexcept {
    if (this != &other) {
        h5::File dropped{std::exchange(id_, std::exchange(other.id_, H5I_INVALID_HID))};
        lost_ = std::move(other.lost_);
    }
    return *this;
}

MasterFileHandle::~MasterFileHandle() {
    // A file HDF5 can no longer write is left alone: closing it walks a broken cache.
    if (!lost_.empty()) return;
    h5::File dropped{id_};
}

void MasterFileHandle::flush(const std::string& filepath) {
    if (!lost_.empty()) throw H5Error("flush " + in_quotes(filepath) + ": " + lost_);
    if (id_ < 0 || (!fails_now(FailPoint::H5Fflush) && H5Fflush(id_, H5F_SCOPE_LOCAL) >= 0)) {
        return;
    }
    // HDF5 1.10 cannot flush a file's metadata cache again after a failed flush ("slist
    // already enabled?"): the file cannot be completed from here on, and every later flush or
    // close says so rather than pretend.
    lost_ =
        "writing the file's metadata failed, and HDF5 cannot write it again: " + h5::stack_reason();
    throw H5Error("flush " + in_quotes(filepath) + ": " + lost_);
}

void MasterFileHandle::close() {
    if (id_ < 0) return;
    // Everything goes to disk first, while the file stays open: a failed H5Fclose leaves
    // HDF5's file half torn down.
    flush("master file");
    if (H5Fclose(id_) >= 0) {
        id_ = H5I_INVALID_HID;
        return;
    }
    const std::string reason = h5::stack_reason();
    // HDF5 may drop the identifier of a file whose close failed: nothing can complete it then,
    // and every later close must fail rather than report the file complete.
    if (H5Iis_valid(id_) <= 0) {
        id_ = H5I_INVALID_HID;
        lost_ = "closing it failed and HDF5 released it: " + reason;
    }
    throw H5Error("close master file: " + reason);
}

void MasterFileHandle::flush_after_failure() noexcept {
    if (!lost_.empty() || id_ < 0) return;
    if (H5Fflush(id_, H5F_SCOPE_LOCAL) < 0) {
        lost_ = "writing the file's metadata failed, and HDF5 cannot write it again: " +
                h5::stack_reason();
    }
}

}  // namespace scrivell
