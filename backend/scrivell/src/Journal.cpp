#include "Journal.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <scrivell/errors.hpp>
#include <sstream>
#include <zelt/codec.hpp>

#include <scrivell/fail_points.hpp>
#include "text.hpp"

namespace scrivell {

namespace {

constexpr const char* format_name = "brennic-journal";
constexpr std::int64_t format_version = 1;
constexpr std::uint32_t max_record_bytes = 1u << 31;

std::string reason() { return std::strerror(errno); }

void put_u32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

std::uint32_t get_u32(const char* in) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    return value;
}

std::uint32_t crc_of(const char* data, std::size_t size) {
    return static_cast<std::uint32_t>(
        ::crc32(0L, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
}

std::string framed(const zelt::Value& record) {
    const std::string payload = zelt::dumps(record);
    std::string out;
    out.reserve(payload.size() + 8);
    put_u32(out, static_cast<std::uint32_t>(payload.size()));
    put_u32(out, crc_of(payload.data(), payload.size()));
    out += payload;
    return out;
}

void write_all(int fd, const std::string& bytes, const std::string& path) {
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t done = ::write(fd, data, left);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) throw Error("write journal " + in_quotes(path) + ": " + reason());
        data += done;
        left -= static_cast<std::size_t>(done);
    }
}

}  // namespace

JournalFile JournalFile::create(const std::string& directory, const std::string& stem,
                                const zelt::Map& header, bool sync) {
    std::string pattern = directory + "/" + stem + "-XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC | O_APPEND);
    if (fd < 0) throw Error("create journal in " + in_quotes(directory) + ": " + reason());
    JournalFile journal(pattern, Fd(fd), sync);
    zelt::Map full{{"format", format_name}, {"version", format_version}};
    for (const auto& entry : header) full.push_back(entry);
    journal.add(full);
    journal.header_bytes_ = journal.pending_.size();
    journal.write();
    if (sync) {
        // The file's name must survive a power loss too.
        Fd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.get() >= 0) ::fsync(dir.get());
    }
    return journal;
}

JournalFile JournalFile::resume(const std::string& path, std::uint64_t valid_bytes, bool sync) {
    // A torn tail is cut off first, so that new records follow the last whole one.
    if (::truncate(path.c_str(), static_cast<off_t>(valid_bytes)) != 0) {
        throw Error("cut journal " + in_quotes(path) + " to its whole records: " + reason());
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) throw Error("open journal " + in_quotes(path) + ": " + reason());
    JournalFile journal(path, Fd(fd), sync);
    const JournalRecords read = read_journal(path);
    journal.header_bytes_ = read.records.empty() ? 0 : framed(read.records.front()).size();
    journal.written_bytes_ = valid_bytes;
    return journal;
}

void JournalFile::add(const zelt::Value& record) {
    // Encoded in place, behind room for its length and checksum.
    const std::size_t size = zelt::encoded_size(record);
    const std::size_t at = pending_.size();
    pending_.resize(at + 8 + size);
    char* payload = pending_.data() + at + 8;
    zelt::encode_into(record, payload);
    std::string frame;
    put_u32(frame, static_cast<std::uint32_t>(size));
    put_u32(frame, crc_of(payload, size));
    std::memcpy(pending_.data() + at, frame.data(), 8);
}

void JournalFile::add(const char* op, const char* key, const zelt::Value& value) {
    auto fixstr = [](std::string& out, const char* text) {
        const std::size_t size = std::strlen(text);  // short: a MessagePack fixstr
        out += static_cast<char>(0xa0 | size);
        out.append(text, size);
    };
    std::string head;
    head += static_cast<char>(0x82);  // a map of two entries
    fixstr(head, "op");
    fixstr(head, op);
    fixstr(head, key);
    const std::size_t size = head.size() + zelt::encoded_size(value);
    const std::size_t at = pending_.size();
    pending_.resize(at + 8 + size);
    char* payload = pending_.data() + at + 8;
    std::memcpy(payload, head.data(), head.size());
    zelt::encode_into(value, payload + head.size());
    std::string frame;
    put_u32(frame, static_cast<std::uint32_t>(size));
    put_u32(frame, crc_of(payload, size));
    std::memcpy(pending_.data() + at, frame.data(), 8);
}

bool JournalFile::write() {
    if (pending_.empty()) return false;
    try {
        if (fails_now(FailPoint::JournalWrite)) {
            // Half a write, as a full disk leaves it: cut back below.
            (void)!::write(fd_.get(), pending_.data(), pending_.size() / 2);
            throw Error("write journal " + in_quotes(path_) + ": " + reason());
        }
        write_all(fd_.get(), pending_, path_);
    } catch (const Error&) {
        // A short write leaves part of a record behind, which would hide every record after
        // it from a restart: the file goes back to its last whole record, and the records
        // stay pending for the next write.
        if (::ftruncate(fd_.get(), static_cast<off_t>(written_bytes_)) != 0) {
            throw Error("write journal " + in_quotes(path_) + ": a write failed, and cutting " +
                        "it back to its last whole record failed too: " + reason());
        }
        throw;
    }
    written_bytes_ += pending_.size();
    pending_.clear();
    if (sync_ && (fails_now(FailPoint::Fsync) || ::fdatasync(fd_.get()) != 0)) {
        throw Error("sync journal " + in_quotes(path_) + ": " + reason());
    }
    return true;
}

void JournalFile::truncate_to_header() {
    pending_.clear();
    if (::ftruncate(fd_.get(), static_cast<off_t>(header_bytes_)) != 0) {
        throw Error("empty journal " + in_quotes(path_) + ": " + reason());
    }
    written_bytes_ = header_bytes_;
}

void JournalFile::rename_to(const std::string& path) {
    if (::rename(path_.c_str(), path.c_str()) != 0) {
        throw Error("rename journal " + in_quotes(path_) + " to " + in_quotes(path) + ": " +
                    reason());
    }
    path_ = path;
    if (sync_) {
        // The new name must survive a power loss too.
        const std::string directory = std::filesystem::path(path).parent_path();
        Fd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.get() >= 0) ::fsync(dir.get());
    }
}

void JournalFile::remove() {
    pending_.clear();
    fd_ = Fd();
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
        throw Error("remove journal " + in_quotes(path_) + ": " + reason());
    }
}

JournalRecords read_journal(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error("read journal " + in_quotes(path) + ": cannot be opened");
    std::ostringstream text;
    text << in.rdbuf();
    // One buffer for the whole file, kept alive by the arrays decoded from it.
    auto bytes = std::make_shared<const std::string>(text.str());
    JournalRecords out;
    std::size_t at = 0;
    while (at < bytes->size()) {
        if (bytes->size() - at < 8) break;
        const std::uint32_t size = get_u32(bytes->data() + at);
        const std::uint32_t crc = get_u32(bytes->data() + at + 4);
        if (size > max_record_bytes || bytes->size() - at - 8 < size) break;
        const char* payload = bytes->data() + at + 8;
        if (crc_of(payload, size) != crc) break;
        try {
            out.records.push_back(zelt::loads(payload, size, bytes));
        } catch (const zelt::Error&) {
            break;
        }
        at += 8 + size;
    }
    out.valid_bytes = at;
    out.torn = at < bytes->size();
    const zelt::Map* header = out.records.empty() ? nullptr : out.records.front().as<zelt::Map>();
    const zelt::Value* format = header ? zelt::find(*header, "format") : nullptr;
    const zelt::Value* version = header ? zelt::find(*header, "version") : nullptr;
    if (!format || *format != zelt::Value(format_name)) {
        throw Error("read journal " + in_quotes(path) + ": not a brennic journal");
    }
    if (!version || *version != zelt::Value(format_version)) {
        throw Error("read journal " + in_quotes(path) + ": version " +
                    (version ? zelt::to_text(*version) : std::string("none")) +
                    ", this service reads version " + std::to_string(format_version));
    }
    return out;
}

JournalDirectory::JournalDirectory(std::string path, bool sync)
    : path_(std::move(path)), sync_(sync) {
    std::error_code error;
    std::filesystem::create_directories(path_, error);
    if (error) throw Error("journal directory " + in_quotes(path_) + ": " + error.message());
    const std::string lock_path = path_ + "/lock";
    lock_ = Fd(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (lock_.get() < 0)
        throw Error("journal directory " + in_quotes(path_) + ": lock: " + reason());
    if (::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
        char holder[32] = {};
        (void)!::pread(lock_.get(), holder, sizeof holder - 1, 0);
        throw Error("journal directory " + in_quotes(path_) +
                    " is in use by another brennic (pid " + std::string(holder) +
                    "); two services must never share one");
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    (void)!::ftruncate(lock_.get(), 0);
    (void)!::pwrite(lock_.get(), pid.data(), pid.size(), 0);
}

std::vector<std::string> JournalDirectory::file_journals() const {
    std::vector<std::pair<std::filesystem::file_time_type, std::string>> found;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
        const std::string name = entry.path().filename();
        if (name.rfind("file-", 0) != 0 || name.find(".unrestorable") != std::string::npos)
            continue;
        found.emplace_back(entry.last_write_time(), entry.path());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> out;
    for (auto& [time, name] : found) out.push_back(std::move(name));
    return out;
}

std::string JournalDirectory::outbox_journal() const {
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
        const std::string name = entry.path().filename();
        if (name.rfind("outbox-", 0) == 0 && name.find(".unrestorable") == std::string::npos) {
            return entry.path();
        }
    }
    return {};
}

std::string JournalDirectory::move_aside(const std::string& journal) const {
    const std::string aside = journal + ".unrestorable";
    if (::rename(journal.c_str(), aside.c_str()) != 0) {
        throw Error("move journal " + in_quotes(journal) + " aside: " + reason());
    }
    return aside;
}

}  // namespace scrivell
