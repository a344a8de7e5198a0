#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <scrivell/Counters.hpp>
#include <scrivell/Settings.hpp>
#include <scrivell/errors.hpp>
#include <string>
#include <utility>
#include <vector>
#include <zelt/Value.hpp>

namespace scrivell {

// The backend's own parts, private to it.
template <class T>
class OrderedMap;
class OpenFile;
struct Services;
class Budget;
class JournalDirectory;
class Outbox;
class CompressionPool;
class UnopenedFailures;

// The HDF5 backend: one operation per request type, the table of open files, the rules that
// span files, the restore of the journals at start-up and the notifications. What a request
// does to one file is its OpenFile's. Every operation takes the whole request record; failures
// are thrown (scrivell::Error and its kinds) and leave done what was done before them.
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
    // Whether `type` names an operation process() serves.
    static bool serves(const std::string& type);

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
    // Journals the notifications delivered since the last call, and records those dropped for
    // good as failures of their files: from the request loop, between requests.
    void settle_notifications();
    // Notes, journaled, that `client` sent its request number `seq` for the open file
    // `filepath`. Returns the first and last numbers of its requests that never arrived before
    // it; nullopt when none is missing. Throws Error when the file is not open.
    std::optional<std::pair<std::int64_t, std::int64_t>> note_seq(const std::string& filepath,
                                                                  const std::string& client,
                                                                  std::int64_t seq);
    // Records that a request for `filepath` failed with `error` and no reply to say so: in
    // its journal when the file is open, so that its waiting close after a restart still
    // reports it; in memory otherwise, until a waiting close or closeAll.
    void note_failure(const std::string& filepath, const std::string& error);
    // What the waiting close of `filepath` reports of its requests that failed unheard (its
    // own, the rows that could not be written, and the requests that never arrived), since
    // its last report; empty when none did. Forgotten once taken.
    std::string take_failure_report(const std::string& filepath);
    // The reports of every file ("\"PATH\": report"), forgotten once taken: for closeAll.
    // Without `of_open_files`, the open files keep theirs (in their journals).
    std::vector<std::string> take_failure_reports(bool of_open_files = true);
    // Whether the open file `filepath` holds failures not yet reported.
    bool has_unreported_failures(const std::string& filepath) const;
    // The requests that failed unheard, over all files.
    std::size_t unreported_failures() const;
    // Writes the rows still being compressed, then puts what the journals recorded since the
    // last call on disk: before a reply, and before the service waits for the next request.
    // Throws Error.
    void write_journals();
    // Tells the progress of the split datasets where some is due: from the request loop,
    // between requests. Nothing without a progress topic.
    void tell_progress_if_due();
    // Restores the owed notifications and the files whose journals are in the journal
    // directory, as they were after the last request carried out. Logs one WARNING per file
    // restored and one ERROR per journal moved aside. Call once, at start-up.
    void restore();
    bool journaling() const { return journal_dir_ != nullptr; }
    const std::string& journal_dir() const { return journal_dir_path_; }
    const VeskSettings& notification_settings() const;
    // What the owed notifications announce, oldest first; why the last delivery failed.
    std::vector<std::string> owed_notifications() const;
    std::string last_notification_error() const;
    // For the "status" request: per open file what OpenFile::status says, then
    // "notifications_pending" and "held_mib".
    zelt::Map status() const;

    // Whether an open file failed a write in a way HDF5 cannot recover from.
    bool holds_unwritable_files() const;
    // What the Budget counts: the file descriptors held for open files and their blocks, and
    // all that memory_limit_mib bounds.
    std::size_t descriptors_held() const;
    std::uint64_t held_bytes() const;
    const Limits& limits() const { return limits_; }
    // Whether `filepath` is open, and the paths open, in opening order.
    bool is_open(const std::string& filepath) const;
    std::vector<std::string> open_paths() const;
    // What was done since the start, and what is held now, for metrics.
    const Counters& counters() const { return counters_; }
    std::size_t rows_with_workers() const;
    std::uint64_t notifications_delivered() const;
    std::uint64_t notifications_dropped() const;
    std::size_t notifications_owed() const;

  private:
    OpenFile& file_of(const std::string& filepath);
    void close_file(const zelt::Map& record, bool at_shutdown);
    // Restores the file of one journal (`filepath`, set once read). On failure the file is
    // left out of the tables.
    void restore_file(const std::string& journal, std::string& filepath);
    void restore_outbox();
    // Writes the rows waiting for compression workers, of every open file.
    void write_all_pending();

    Limits limits_;
    std::vector<std::string> data_roots_;
    std::string journal_dir_path_;
    std::unique_ptr<JournalDirectory> journal_dir_;
    Counters counters_;
    std::unique_ptr<Outbox> outbox_;
    std::unique_ptr<Budget> budget_;
    std::unique_ptr<Services> services_;
    // Declared after what the files use, so that the files go first.
    std::unique_ptr<OrderedMap<std::unique_ptr<OpenFile>>> files_;
    // Declared after the files, so that it stops before the rows it reads are gone.
    std::unique_ptr<CompressionPool> pool_;
    // Failures of files not open: a failed open's, a closed file's not yet reported.
    std::unique_ptr<UnopenedFailures> unopened_failures_;
};

}  // namespace scrivell
