#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <zelt/Fd.hpp>

namespace scrivell {

// The directory part of a master file path, as sub-files are placed beside it.
std::string dirpath_of(const std::string& masterFilePath);

// A file descriptor with one owner: zelt's, the one class of the project.
using Fd = zelt::Fd;
// The real close of `fd`, which gives it up: throws Error naming `what`.
void close_checked(Fd& fd, const std::string& what);

// The directory of a master file, opened once at `open`: every file the service makes beside
// the master (blocks, their hidden files) is made by name relative to this handle, so that a
// directory renamed or replaced by a link afterwards can never redirect them. Names are single
// components; a name that is a link, a FIFO, a device or anything but a regular file is refused
// without blocking.
class Directory {
  public:
    // Opens the directory part of `filepath`. With `roots` (resolved directories), the path made
    // absolute and lexically normal must lie below one of them, and every component below the
    // root is opened without following a symbolic link. Throws Error naming the path.
    static std::shared_ptr<const Directory> of_master(const std::string& filepath,
                                                      const std::vector<std::string>& roots);

    int fd() const { return fd_.get(); }
    // The directory as the master's path names it ("" for the working directory).
    const std::string& path() const { return path_; }
    // `name` joined to path(), for messages and notifications.
    std::string path_of(const std::string& name) const;
    // Whether this and `other` are the same directory on disk.
    bool same_as(const Directory& other) const;

    // Opens the regular file `name` (O_RDONLY, O_WRONLY or O_RDWR in `access`); nullopt when
    // there is none. Throws Error for a link or another kind of file.
    std::optional<Fd> open_existing(const std::string& name, int access) const;
    // Creates `name`, which must not exist (O_EXCL, no link followed), for reading and writing.
    // Throws Error, naming what is in the way.
    Fd create(const std::string& name) const;
    // Renames `from` to `to` without ever replacing a file at `to`: false when `to` is taken.
    // Throws Error for any other failure.
    [[nodiscard]] bool rename_new(const std::string& from, const std::string& to) const;
    // Removes the name `name` (a link itself, never what it points to). Throws Error.
    void remove(const std::string& name) const;
    // As remove(), ignoring failures: for clean-up.
    void remove_quietly(const std::string& name) const noexcept;
    // What `name` is, without following a link.
    enum class Kind { None, Regular, Link, Other };
    Kind kind_of(const std::string& name) const;
    // The same, in words for an error: "a named pipe", "a directory", ...; "nothing".
    std::string described(const std::string& name) const;
    // Flushes the directory's entries to the device. Throws Error.
    void sync() const;

  private:
    Directory(Fd fd, std::string path);
    Fd fd_;
    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// A path through which HDF5 opens the file behind a descriptor we hold: HDF5 takes names, and
// this name reaches that very file, whatever happens to its directory entries.
std::string descriptor_path(int fd);

// The last component of a path ("" when it ends in "/").
std::string base_name(const std::string& path);

}  // namespace scrivell
