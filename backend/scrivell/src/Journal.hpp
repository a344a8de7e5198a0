#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include <zelt/Value.hpp>

#include "Directory.hpp"

namespace scrivell {

// A journal file: records appended at the end, each checked, so that whatever a crash leaves
// can be read back up to the last whole record. A record is
//     u32 little-endian length | u32 little-endian CRC-32 of the payload | payload
// and the payload is one MessagePack value (the project's codec). The first record of a file
// is its header: {"format": "brennic-journal", "version": 1, "kind": ..., ...}.
class JournalFile {
  public:
    // Creates a new journal in `directory` named after `stem`, starting with `header`.
    static JournalFile create(const std::string& directory, const std::string& stem,
                              const zelt::Map& header, bool sync);
    // Continues an existing journal at `path` (records are appended after its last whole one).
    static JournalFile resume(const std::string& path, std::uint64_t valid_bytes, bool sync);

    // Adds a record to what the next write() puts on disk.
    void add(const zelt::Value& record);
    // Adds the record {"op": op, key: value} without copying `value`: the per-request record
    // of many small appends. `op` and `key` are short texts.
    void add(const char* op, const char* key, const zelt::Value& value);
    // Puts every added record on disk in one write, and with `sync` on the device. Throws Error;
    // after a failed write the file ends at its last whole record again, and the records stay
    // pending for the next write.
    // Returns whether there was anything to write.
    bool write();
    // Empties the journal down to its header (nothing it held is owed any more).
    void truncate_to_header();
    // Whether it holds records beyond its header, on disk or pending.
    bool holds_records() const { return written_bytes_ > header_bytes_ || !pending_.empty(); }
    // Gives the file the name `path` (in the same directory), replacing whatever is there in
    // one step. Throws Error.
    void rename_to(const std::string& path);
    // Removes the file: what it recorded is complete elsewhere.
    void remove();
    const std::string& path() const { return path_; }

  private:
    JournalFile(std::string path, Fd fd, bool sync)
        : path_(std::move(path)), fd_(std::move(fd)), sync_(sync) {}

    std::string path_;
    Fd fd_;
    bool sync_ = false;
    std::string pending_;
    std::uint64_t header_bytes_ = 0;
    std::uint64_t written_bytes_ = 0;  // where the last whole record ends
};

// What a journal file holds, read back: its records up to the last whole one.
struct JournalRecords {
    std::vector<zelt::Value> records;  // the header first
    std::uint64_t valid_bytes = 0;     // where the whole records end
    bool torn = false;                 // bytes after them were cut off (a torn last record)
};

// Reads the journal at `path`. Array values keep the file's bytes alive. Throws Error when
// the file cannot be read or its header is not a journal header of a known version.
JournalRecords read_journal(const std::string& path);

// The directory of journals, held by one service at a time: a lock file in it is locked for
// the life of the service. Throws Error naming the directory and the process that holds it.
class JournalDirectory {
  public:
    JournalDirectory(std::string path, bool sync);
    const std::string& path() const { return path_; }
    bool sync() const { return sync_; }
    // The journals of files found there (not the outbox's), oldest first.
    std::vector<std::string> file_journals() const;
    // The outbox's journal, if one is there.
    std::string outbox_journal() const;
    // Moves a journal that cannot be restored aside (".unrestorable"), never deleting it.
    std::string move_aside(const std::string& journal) const;

  private:
    std::string path_;
    bool sync_;
    Fd lock_;
};

}  // namespace scrivell
