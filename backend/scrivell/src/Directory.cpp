#include "Directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <scrivell/errors.hpp>
#include <scrivell/fail_points.hpp>
#include <utility>

#include "text.hpp"

namespace scrivell {

std::string dirpath_of(const std::string& masterFilePath) {
    const auto slash = masterFilePath.rfind('/');
    if (slash == std::string::npos) return "";
    std::string dirpath = masterFilePath.substr(0, slash);
    while (!dirpath.empty() && dirpath.back() == '/') dirpath.pop_back();
    // Nothing but "/" characters: the root stays.
    return dirpath.empty() ? "/" : dirpath;
}

namespace {

std::string reason() { return std::strerror(errno); }

std::string kind_of_mode(mode_t mode) {
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "an unknown kind of file";
}

// The roots' listing for the error that refuses a path.
std::string listed(const std::vector<std::string>& roots) {
    std::string out;
    for (const std::string& root : roots) out += (out.empty() ? "" : ", ") + in_quotes(root);
    return out;
}

// A path below `root` ("" when it is the root itself, nullopt when it is not below it).
std::optional<std::string> below(const std::string& path, const std::string& root) {
    if (path == root) return std::string();
    const std::string prefix = root.back() == '/' ? root : root + "/";
    if (path.rfind(prefix, 0) != 0) return std::nullopt;
    return path.substr(prefix.size());
}

}  // namespace

void close_checked(Fd& fd, const std::string& what) {
    const int descriptor = fd.release();
    if (descriptor >= 0 && ::close(descriptor) != 0) throw Error("close " + what + ": " + reason());
}

std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

std::string base_name(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Directory::Directory(Fd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {
    struct stat info {};
    if (::fstat(fd_.get(), &info) != 0) {
        throw Error("directory " + in_quotes(path_) + ": " + reason());
    }
    device_ = info.st_dev;
    inode_ = info.st_ino;
}

std::shared_ptr<const Directory> Directory::of_master(const std::string& filepath,
                                                      const std::vector<std::string>& roots) {
    const std::string dirpath = dirpath_of(filepath);
    if (base_name(filepath).empty()) {
        throw Error("the path " + in_quotes(filepath) + " names a directory, not a file");
    }
    if (roots.empty()) {
        // Opened once, as named; everything after goes through this handle.
        Fd fd(::open(dirpath.empty() ? "." : dirpath.c_str(),
                     O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
        if (fd.get() < 0) {
            throw Error("open " + in_quotes(filepath) + ": its directory " +
                        in_quotes(dirpath.empty() ? "." : dirpath) + ": " + reason());
        }
        return std::shared_ptr<const Directory>(new Directory(std::move(fd), dirpath));
    }
    // ".." is taken away lexically: below a root no component may be a link, so the lexical
    // answer is the real one.
    const std::string absolute =
        std::filesystem::absolute(dirpath.empty() ? "." : dirpath).lexically_normal().string();
    std::string normal = absolute;
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    for (const std::string& root : roots) {
        const std::optional<std::string> rest = below(normal, root);
        if (!rest) continue;
        Fd fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd.get() < 0) throw Error("open data root " + in_quotes(root) + ": " + reason());
        std::string walked = root;
        for (const auto& part : std::filesystem::path(*rest)) {
            const std::string component = part.string();
            if (component.empty() || component == ".") continue;
            walked += (walked.back() == '/' ? "" : "/") + component;
            Fd next(::openat(fd.get(), component.c_str(),
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
            if (next.get() < 0) {
                if (errno == ELOOP || errno == ENOTDIR) {
                    struct stat info {};
                    const std::string what =
                        ::fstatat(fd.get(), component.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0
                            ? kind_of_mode(info.st_mode)
                            : "not a directory";
                    throw Error("the path " + in_quotes(filepath) + " passes through " +
                                in_quotes(walked) + ", " + what + "; below the data roots (" +
                                listed(roots) +
                                ") no link is followed, so it would lead outside them");
                }
                throw Error("open " + in_quotes(filepath) + ": its directory " + in_quotes(walked) +
                            ": " + reason());
            }
            fd = std::move(next);
        }
        return std::shared_ptr<const Directory>(new Directory(std::move(fd), dirpath));
    }
    throw Error("the path " + in_quotes(filepath) + " lies in " + in_quotes(normal) +
                ", outside the data roots (" + listed(roots) +
                "); data_roots in section [corvane] sets them");
}

std::string Directory::path_of(const std::string& name) const {
    if (path_.empty()) return name;
    if (path_.back() == '/') return path_ + name;
    return path_ + "/" + name;
}

bool Directory::same_as(const Directory& other) const {
    return device_ == other.device_ && inode_ == other.inode_;
}

Directory::Kind Directory::kind_of(const std::string& name) const {
    struct stat info {};
    if (::fstatat(fd_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return Kind::None;
        throw Error("look at " + in_quotes(path_of(name)) + ": " + reason());
    }
    if (S_ISREG(info.st_mode)) return Kind::Regular;
    if (S_ISLNK(info.st_mode)) return Kind::Link;
    return Kind::Other;
}

std::string Directory::described(const std::string& name) const {
    struct stat info {};
    if (::fstatat(fd_.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return "nothing";
    return kind_of_mode(info.st_mode);
}

std::optional<Fd> Directory::open_existing(const std::string& name, int access) const {
    // O_NONBLOCK: a FIFO planted at the name must not hold the service in open().
    Fd fd(::openat(fd_.get(), name.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT) return std::nullopt;
        if (errno == ELOOP || errno == ENXIO || errno == EISDIR) {
            throw Error(in_quotes(path_of(name)) + " is " + described(name) +
                        ", not a regular file; the service opens nothing else");
        }
        throw Error("open " + in_quotes(path_of(name)) + ": " + reason());
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        throw Error("open " + in_quotes(path_of(name)) + ": " + reason());
    if (!S_ISREG(info.st_mode)) {
        throw Error(in_quotes(path_of(name)) + " is " + kind_of_mode(info.st_mode) +
                    ", not a regular file; the service opens nothing else");
    }
    // Back to blocking reads and writes for a regular file.
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

Fd Directory::create(const std::string& name) const {
    Fd fd(::openat(fd_.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   0666));
    if (fd.get() < 0) {
        if (errno == EEXIST) {
            throw Error("create " + in_quotes(path_of(name)) + ": " + described(name) +
                        " is already there");
        }
        throw Error("create " + in_quotes(path_of(name)) + ": " + reason());
    }
    return fd;
}

bool Directory::rename_new(const std::string& from, const std::string& to) const {
    if (fails_now(FailPoint::Rename)) {
        throw Error("rename " + in_quotes(path_of(from)) + " to " + in_quotes(path_of(to)) + ": " +
                    reason());
    }
    if (::renameat2(fd_.get(), from.c_str(), fd_.get(), to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno == EEXIST) return false;
    if (errno == EINVAL) {
        // A file system without RENAME_NOREPLACE: a hard link cannot replace anything either.
        if (::linkat(fd_.get(), from.c_str(), fd_.get(), to.c_str(), 0) == 0) {
            remove_quietly(from);
            return true;
        }
        if (errno == EEXIST) return false;
    }
    throw Error("rename " + in_quotes(path_of(from)) + " to " + in_quotes(path_of(to)) + ": " +
                reason());
}

void Directory::remove(const std::string& name) const {
    if (::unlinkat(fd_.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
        throw Error("remove " + in_quotes(path_of(name)) + ": " + reason());
    }
}

void Directory::remove_quietly(const std::string& name) const noexcept {
    (void)::unlinkat(fd_.get(), name.c_str(), 0);
}

void Directory::sync() const {
    if (fails_now(FailPoint::Fsync) || ::fsync(fd_.get()) != 0)
        throw Error("sync directory " + in_quotes(path_) + ": " + reason());
}

}  // namespace scrivell
