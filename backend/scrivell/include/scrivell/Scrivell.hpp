#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <scrivell/Column.hpp>
#include <scrivell/Directory.hpp>
#include <scrivell/Journal.hpp>
#include <scrivell/OrderedMap.hpp>
#include <scrivell/Outbox.hpp>
#include <scrivell/StreamingBlock.hpp>
#include <scrivell/errors.hpp>
#include <string>
#include <utility>
#include <vector>
#include <zelt/Value.hpp>

namespace scrivell {

// An HDF5 identifier (hid_t), kept out of this header so that users need no HDF5 headers.
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

// An appendable dataset: its description as the client sent it, and the values appended so
// far, held in memory until close writes them as one array.
struct AppendDataset {
    zelt::Map description;
    bool batch = false;  // "batch": each value is a stack of items
    Column values;
};

// The block of a split dataset being filled, as the journal accounts for it: enough to take
// it up again after a restart.
struct BlockAccount {
    std::int64_t index = 0;
    std::string typestr;
    std::vector<std::uint64_t> shape;
    std::int64_t rows = 0;                    // rows in its file
    std::optional<std::string> full_message;  // once full: what announces it
};

// A row of a compressed block on its way: a worker compresses it, the request loop then
// writes it in its turn. `item` keeps the row's bytes alive until then.
struct PendingRow {
    std::future<std::vector<char>> chunk;
    zelt::Value item;
    std::uint64_t raw_bytes = 0;
    std::string where;
};

// A split dataset: its block size, the index of the next sub-file to write, and the block
// being filled (its account and its open file), whose rows are already on disk.
struct SplitDataset {
    std::int64_t splitSize = 1;  // rows per block, checked at registration
    std::int64_t splitFileIndex = 0;
    std::optional<BlockAccount> filling;
    Compression compression;  // how its blocks store their rows
    // What its sub-file names start with: empty for a master's first split dataset.
    std::string stem;
    std::optional<StreamingBlock> block;
    std::chrono::steady_clock::time_point block_started{};  // for the log line of a sub-file
    std::deque<PendingRow> pending;  // rows of the block being compressed, in arrival order
    // What the finished blocks' rows take in their files, and took as they came.
    std::uint64_t stored_bytes = 0;
    std::uint64_t raw_bytes = 0;
};

// A file-table entry: the open file under "fp", and what the service holds for each dataset
// registered for it, one place per dataset. The pending-append and split tables of a file are
// its `files_nosplit` and `files_split`, in registration order. A name is one kind or the
// other, and never "fp", so the open file cannot be lost.
struct FileEntry {
    MasterFileHandle fp;
    // The master's directory, opened once: every sub-file is made relative to it.
    std::shared_ptr<const Directory> dir;
    OrderedMap<AppendDataset> files_nosplit;
    OrderedMap<SplitDataset> files_split;
    // What the service holds for the file, recorded for a restart (when journaling is on).
    std::optional<JournalFile> journal;
    // Per client (its identity, in hex), the highest "seq" of its requests carried out.
    std::map<std::string, std::int64_t> seqs;
};

// What the service may hold. Zero means no bound.
struct Limits {
    std::size_t max_open_files = 0;  // master files open at once
    // File descriptors the open files and their blocks may hold, as each holds them: the rest
    // stay for sockets, brokers and the short-lived files of a close.
    std::size_t max_descriptors = 0;
    std::uint64_t memory_limit_bytes = 0;  // appended values and owed notifications
};

// Everything the backend reads from the configuration, read once at start-up.
struct Settings {
    VeskSettings vesk;
    Limits limits;
    // Directories files may be created or opened in ("data_roots"), resolved; none: anywhere.
    std::vector<std::string> data_roots;
    // Where the journals of open files live ("journal_dir"); empty: no journal. With
    // "journal_sync", journals and sub-files reach the device before they count.
    std::string journal_dir;
    bool journal_sync = false;
    // Whether every chunk a client compressed itself is decoded before it is written
    // ("verify_precompressed", on by default); its header and block lengths are always
    // checked.
    bool verify_precompressed = true;
    // Workers that compress rows ("compression_threads"): by default one fewer than the
    // machine's cores, at least one.
    unsigned compression_threads = 1;

    // Sections "vesk" and "corvane" (max_open_files, memory_limit_mib); without them, the
    // defaults: file descriptors shared with a reserve for sockets, half the machine's memory.
    // Throws zelt::Error for a value that is not a number.
    static Settings from(const zelt::storageParser& config);
};

// The HDF5 backend: the table of open files and what is pending for them, and one operation
// per request type. Every operation takes the whole request record; failures are thrown
// (scrivell::Error and its kinds) and leave done what was done before them.
class CompressionPool;

class Scrivell {
  public:
    // Reads the configuration once.
    Scrivell();
    explicit Scrivell(Settings settings);
    ~Scrivell();
    Scrivell(const Scrivell&) = delete;
    Scrivell& operator=(const Scrivell&) = delete;

    // Calls the operation named by the record's "type". Throws scrivell::Error for a missing
    // "type" or one that names no operation.
    void process(const zelt::Map& record);

    void open(const zelt::Map& record);
    void create_dataset_map(const zelt::Map& record);
    void create_dataset_map_new(const zelt::Map& record);
    void create_dataset_append(const zelt::Map& record);
    void dataset_append_map(const zelt::Map& record);
    void create_dataset_append_split(const zelt::Map& record);
    void dataset_append_split_map(const zelt::Map& record);
    void close(const zelt::Map& record);
    void closeAll(const zelt::Map& record);

    // Closes `filepath` at shutdown: as close, but notifications no broker takes stay owed
    // instead of holding the file open.
    void close_at_shutdown(const std::string& filepath);
    // Waits, at most the notification time-out, for the notifications still owed to go out,
    // and records what went: at shutdown.
    void deliver_owed();
    // Notifications dropped for good since the last call, with the file each was for.
    std::vector<std::pair<std::string, std::string>> take_dropped_notifications() {
        return outbox_.take_dropped();
    }
    // Notes that `client` sent its request number `seq` for the open file `filepath`, and
    // journals it. Returns the numbers of that client's requests that never arrived before it,
    // first and last, journaled too; nullopt when none is missing. Throws Error when the file
    // is not open.
    std::optional<std::pair<std::int64_t, std::int64_t>> note_seq(const std::string& filepath,
                                                                  const std::string& client,
                                                                  std::int64_t seq);
    // Records in the journal of `filepath`, when it is open, that a request without a reply
    // failed with `error`: a waiting close after a restart still reports it.
    void journal_failure(const std::string& filepath, const std::string& error);
    // The failures journaled for the files restored, to report to their next waiting close;
    // taken once.
    std::vector<std::pair<std::string, std::string>> take_restored_failures() {
        return std::exchange(restored_failures_, {});
    }
    // Requests journaled as never arrived (file, first and last number); taken once.
    struct Missing {
        std::string filepath;
        std::int64_t first = 0;
        std::int64_t last = 0;
    };
    std::vector<Missing> take_restored_missing() { return std::exchange(restored_missing_, {}); }
    // Writes the rows still being compressed, then puts what the journals recorded since the
    // last call on disk: before a reply, and before the service waits for the next request.
    // Throws Error.
    void write_journals();
    // Rows accepted without a reply that could not be written once compressed (file, error),
    // since the last call: the next waiting close of the file reports them.
    std::vector<std::pair<std::string, std::string>> take_row_failures() {
        return std::exchange(row_failures_, {});
    }
    // Restores the files whose journals are in the journal directory, as they were after the
    // last request carried out, and queues their owed notifications. Logs one WARNING per
    // file restored and one ERROR per journal moved aside. Call once, at start-up.
    void restore();
    bool journaling() const { return journal_dir_.has_value(); }
    const std::string& journal_dir() const { return journal_dir_path_; }
    const Outbox& outbox() const { return outbox_; }
    // What the service holds, for the "status" request: per open file its appendable datasets
    // (values held) and split datasets ("splitFileIndex", "rows" of the current block), then
    // "notifications_pending" and "held_mib".
    zelt::Map status() const;

    // Whether an open file failed a write in a way HDF5 cannot recover from.
    bool holds_unwritable_files() const;
    // The file descriptors held for open files and their blocks: a master's (HDF5's), its
    // directory's, its journal's, and each block's (two for a compressed one: ours and
    // HDF5's).
    std::size_t descriptors_held() const;
    // What the service holds in memory for appended values, about.
    std::uint64_t held_bytes() const { return held_bytes_; }
    const Limits& limits() const { return limits_; }
    // The file table, to read.
    const OrderedMap<FileEntry>& open_files() const { return files; }

  private:
    OrderedMap<FileEntry> files;  // file table
    // Declared after the file table, so that it stops before the rows it reads are gone.
    std::unique_ptr<CompressionPool> pool_;
    unsigned compression_threads_ = 1;
    bool verify_precompressed_ = false;
    std::uint64_t pending_bytes_ = 0;  // raw bytes of the rows waiting in `pending`
    std::vector<std::pair<std::string, std::string>> row_failures_;

    void write_map(const zelt::Map& record, bool recreate_text);
    // Refuses (Error naming `what`) to hold `adds` more bytes beyond memory_limit_mib, counting
    // the appended values and the notifications owed.
    void refuse_beyond_memory_limit(std::uint64_t adds, const std::string& what) const;
    // Refuses (Error naming `what`) to hold `adds` more descriptors beyond max_descriptors.
    void refuse_beyond_descriptors(std::size_t adds, const std::string& what) const;
    FileEntry& entry_of(const std::string& filepath);
    void append_item(FileEntry& entry, const std::string& filepath, const std::string& name,
                     const zelt::Value& item, const zelt::Map& record);
    void close_file(const zelt::Map& record, bool at_shutdown);

    // What was journaled for one file (`filepath`, set once read), replayed into its tables at
    // start-up. On failure the file is left out of the tables.
    void restore_file(const std::string& journal, std::string& filepath);
    void restore_into(FileEntry& entry, const std::string& filepath, JournalRecords& read,
                      const std::string& journal_path, const std::string& rebuilt);
    // Takes up the block `split` was filling, where its rows end, and completes one that was
    // full. Throws Error; the caller keeps what it cannot take up and reports it.
    void take_up_block(FileEntry& entry, const std::string& filepath, const std::string& name,
                       SplitDataset& split);
    // Finishes a full or last block: its sub-file, link and journal records; posts its
    // notification (which the close waits for, with `held_by_close`).
    void finish_block(FileEntry& entry, const std::string& filepath, const std::string& name,
                      SplitDataset& split, std::string message, bool held_by_close);
    // Writes the compressed rows of `split` waiting in `pending`, in their order, as their
    // workers finish them (at most `keep` stay waiting; with `ready_only`, those done already
    // and no more). A row that cannot be written is recorded in row_failures_; the next row
    // takes its place.
    void write_pending(FileEntry& entry, const std::string& filepath, const std::string& name,
                       SplitDataset& split, std::size_t keep = 0, bool ready_only = false);
    // write_pending for every split dataset of every open file.
    void write_all_pending();
    // Writes a frame its client compressed, after its checks, or queues it behind the rows
    // still with a worker.
    void pass_through(FileEntry& entry, const std::string& name, SplitDataset& split,
                      const zelt::NdArray& array, const std::string& where);
    // Queues a compressed block's array row for a worker; waits for older rows while the rows
    // waiting hold too much memory.
    void queue_row(FileEntry& entry, const std::string& filepath, const std::string& name,
                   SplitDataset& split, const zelt::NdArray& array, const std::string& where);

    Limits limits_;
    std::vector<std::string> data_roots_;
    std::string journal_dir_path_;
    std::optional<JournalDirectory> journal_dir_;
    Outbox outbox_;
    std::uint64_t held_bytes_ = 0;
    std::vector<std::pair<std::string, std::string>> restored_failures_;  // path, error
    std::vector<Missing> restored_missing_;
};

// Finishes a full or last block of split dataset `masterDatasetName` (its sub-file gets its
// final name "%04d.h5" beside the master file) and links it from the master file as
// "%s/data_%04d". The caller announces it. With `sync`, the rows reach the disk first.
void writeSubDataFile(hid masterFileObj, const std::string& masterDatasetName,
                      std::int64_t splitFileIndex, StreamingBlock& block, bool sync);

// Creates in `f`, at `masterDataSetName` (groups created along it), an external link to
// `datasetname` in the file `subDataPath`, stored unchanged.
void create_external_link(hid f, const std::string& masterDataSetName,
                          const std::string& subDataPath, const std::string& datasetname);

// The largest notification message: one that would be larger is refused (NotifyError).
inline constexpr std::size_t max_notification_bytes = 64 * 1024;

// The notification message as the downstream system receives it: JSON in one line with
// ", " and ": " separators and every non-ASCII character escaped. Throws NotifyError for a
// value without JSON form or a message above max_notification_bytes.
std::string notification_json(const char* tag, const zelt::Value& identify,
                              const zelt::Value& CTType, const std::string& filepath,
                              const std::string& datasetpath);

// The directory part of a master file path, as sub-files are placed beside it.
std::string dirpath_of(const std::string& masterFilePath);

}  // namespace scrivell
