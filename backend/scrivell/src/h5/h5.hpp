#pragma once

#include <hdf5.h>

#include <scrivell/errors.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace scrivell::h5 {

// The HDF5 error stack's reason for the last failure: the API message, then the innermost.
std::string stack_reason();

// Builds the one-line H5Error `{action} "{target}" in "{file}": {reason}`.
[[noreturn]] void fail(std::string_view action, std::string_view target, std::string_view file);

// Returns `result`, or throws H5Error when it is negative. The message is built only then.
template <class T>
T check(T result, std::string_view action, std::string_view target, std::string_view file = {}) {
    if (result < 0) fail(action, target, file);
    return result;
}

template <herr_t (*Close)(hid_t)>
class Handle {  // move-only owner of one HDF5 id
  public:
    Handle() = default;
    explicit Handle(hid_t id) : id_(id) {}
    Handle(Handle&& other) noexcept : id_(std::exchange(other.id_, H5I_INVALID_HID)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            id_ = std::exchange(other.id_, H5I_INVALID_HID);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }  // fallback only: never throws

    // The real close: throws H5Error naming `what`.
    void close(std::string_view what = "object") {
        const hid_t id = std::exchange(id_, H5I_INVALID_HID);
        if (id >= 0) check(Close(id), "close", what);
    }
    hid_t get() const { return id_; }
    // Gives the id up to another owner.
    hid_t release() { return std::exchange(id_, H5I_INVALID_HID); }

  private:
    void reset() noexcept {
        if (id_ >= 0) Close(std::exchange(id_, H5I_INVALID_HID));
    }
    hid_t id_ = H5I_INVALID_HID;
};

using File = Handle<H5Fclose>;
using Dataset = Handle<H5Dclose>;
using Group = Handle<H5Gclose>;
using Type = Handle<H5Tclose>;
using Space = Handle<H5Sclose>;
using Plist = Handle<H5Pclose>;

// The storage of booleans: an enumeration over an 8-bit signed integer, FALSE = 0, TRUE = 1.
Type bool_type();
// A variable-length UTF-8 string type.
Type vlen_utf8_type();
// The HDF5 type of a NumPy type string, in its byte order (booleans as bool_type()).
Type type_of_typestr(const std::string& typestr, std::string_view dataset);

// A link creation list that creates missing intermediate groups.
Plist intermediate_groups();

// How the service opens every file: without HDF5's file locks, so that a reader holding a
// file open (locked or not) never makes a write, a rename or a restart's open fail or wait;
// with `latest`, in the latest file format (what SWMR needs); with `clear_status_flags`,
// accepting a file a crashed writer left marked as open for writing.
struct Access {
    bool latest = false;
    bool clear_status_flags = false;
};
Plist file_access(Access access);

// True when every component of `path` names an existing link of `file`, all but the last
// naming groups.
bool path_exists(hid_t file, const std::string& path);

// Refuses a write at `path` of `file` that would pass through, replace or delete a link that
// is not a hard link (an external link leads into another file, a soft link anywhere in this
// one). Throws Error naming the link.
void refuse_links_along(hid_t file, const std::string& path, std::string_view filename);

// `path` as one spelling: "/" + its components, without empty ones or "." ("/a//b/" and "a/b"
// are "/a/b").
std::string normal_path(const std::string& path);

// `count` elements of `mem_type` at `data`, converted to `file_type` and each checked to
// convert back unchanged: values the file type does not hold exactly (fractions, NaN or
// out-of-range numbers into integers, precision lost) are refused. Throws Error naming `what`.
std::vector<unsigned char> held_exactly(hid_t mem_type, hid_t file_type, const void* data,
                                        std::size_t count, const std::string& what);

// A simple dataspace of these dimensions; none gives a scalar space.
Space space_of(const std::vector<hsize_t>& dims);

}  // namespace scrivell::h5
