#pragma once

// One open master file, from `open` to `close`.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <zelt/Value.hpp>

#include "Budget.hpp"
#include "Column.hpp"
#include "Directory.hpp"
#include "FailedRequests.hpp"
#include "Journal.hpp"
#include "OrderedMap.hpp"
#include "SplitStream.hpp"
#include "master_file.hpp"
#include "records.hpp"

namespace scrivell {

// An appendable dataset: its description as the client sent it, and the values appended so
// far, held in memory until close writes them as one array.
struct AppendDataset {
    zelt::Map description;
    bool batch = false;  // "batch": each value is a stack of items
    Column values;
    Budget::Hold held;  // the values' bytes
};

// An open master file: its handle and directory, its journal, the numbers of its clients'
// requests, its failures not yet reported, and its datasets, appendable and split, in
// registration order. A name is one kind or the other, and never "fp". Its state changes in
// one place, apply(), for requests and for a restart alike; commit() journals a record first.
class OpenFile final : public StreamOwner {
  public:
    // Opens `filepath` (in `dir`), or creates it, flushed and, with `journals`, journaled.
    // Throws Error; an open that fails leaves nothing behind, not even a file it created.
    static std::unique_ptr<OpenFile> open(const std::string& filepath,
                                          std::shared_ptr<const Directory> dir,
                                          const JournalDirectory* journals, Services& services);
    // A master HDF5 has opened (`id`), taken up from its journal by resume().
    OpenFile(std::string filepath, std::shared_ptr<const Directory> dir, hid id,
             Services& services);
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile();

    const std::string& path() const override { return path_; }
    hid master() const override { return fp_.id(); }
    const std::shared_ptr<const Directory>& directory() const override { return dir_; }
    void commit(const Record& record) override;
    void write_journal() override;
    void flush() override { fp_.flush(path_); }
    // Applies `record` to the file's tables; a stream's records go to the stream. Effects
    // outside the tables (HDF5 writes, renames, links, notifications) are not made here.
    // Throws Error for a record the tables cannot take (a journal that disagrees with itself),
    // leaving them unchanged.
    void apply(const Record& record);

    // The requests, each with the request's fields it needs. Throw Error naming what failed.
    void write_map(const zelt::Map& map, bool recreate_text);
    void register_appendable(const zelt::List& descriptions);
    void append(const zelt::Value& values);
    // The stem split dataset `name` would name its sub-files with, once checked that it can
    // be registered here; the caller checks the other open files.
    std::string split_stem(const std::string& name, const SplitSettings& settings,
                           const std::string& where) const;
    void register_split(const std::string& name, SplitSettings settings);
    void append_split(const zelt::Map& map, const zelt::Map& record);
    // A close's writes: the appendable datasets' values, each split dataset's last block (its
    // notification held by the close with `held_by_close`), the "vds" stacks, the last
    // progress messages. The caller waits for the notifications, then closes.
    struct Written {
        std::size_t datasets = 0;
        std::size_t blocks = 0;
    };
    Written write_out(const zelt::Map& record, bool held_by_close);
    // The real close of the master (throws H5Error; may be tried again), then the close's
    // `stop` notification (`what`), posted, journaled in the outbox, and the file's journal
    // removed. Returns why the last two failed, if they did: the file is closed and complete
    // all the same.
    std::string close(std::string stop, const std::string& what, bool held_by_close);

    // Makes every row of its split datasets readable, then writes its journal, which counts
    // only rows readable. Throws Error.
    void publish_and_journal();
    // Publishes and tells the progress of its split datasets where some is due.
    void tell_progress_if_due(std::chrono::steady_clock::time_point now);
    // Writes the rows waiting for compression workers.
    void write_pending();
    std::size_t rows_with_workers() const;

    // Notes that `client` sent its request number `seq`, journaled. Returns the numbers of
    // its requests that never arrived before it; nullopt when none is missing.
    std::optional<std::pair<std::int64_t, std::int64_t>> note_seq(const std::string& client,
                                                                  std::int64_t seq);
    void note_failure(const std::string& error) { commit(records::RequestFailed{error}); }
    // Its failures not yet reported, forgotten once taken.
    FailedRequests take_failures() { return std::exchange(failures_, {}); }
    const FailedRequests& failures() const { return failures_; }

    // What status says of it: "appendable" (values held), "split" datasets and "seqs".
    zelt::Map status() const;
    // Why the file can no longer be completed; empty while it can.
    const std::string& lost() const { return fp_.lost(); }
    // Its split datasets' names and stems, in registration order.
    std::vector<std::pair<std::string, std::string>> split_stems() const;

    // After a restart: replays the journal `read` (at `journal_path`) into the tables, and
    // into a master rebuilt (`rebuilt` says how; empty when the master was opened), resumes
    // the journal, and takes up the blocks being filled. What cannot be kept is journaled as
    // a failure and logged at ERROR. Throws Error.
    void resume(const JournalRecords& read, const std::string& journal_path,
                const std::string& rebuilt, bool sync);

  private:
    // Refuses (Error naming `where`) to register `name` when it is "fp", a name of the other
    // kind, another spelling of a registered name, or where a split dataset links blocks (or,
    // registering one with `vds`, makes its virtual dataset).
    void refuse_taken_name(const std::string& name, bool splitting, const std::string& where,
                           bool vds = false) const;
    // Refuses (Error naming `what`) a write at `path` that collides with a split dataset.
    void refuse_split_links(const std::string& path, const std::string& what) const;
    void keep_journal(JournalFile journal);
    void cannot_keep(const std::string& what);

    std::string path_;
    std::shared_ptr<const Directory> dir_;
    MasterFileHandle fp_;
    Services* services_;
    Budget::Hold descriptors_;
    OrderedMap<AppendDataset> appendable_;
    OrderedMap<SplitStream> splits_;
    // What the service holds for the file, recorded for a restart (when journaling is on).
    std::optional<JournalFile> journal_;
    // Per client (its identity, in hex), the highest "seq" of its requests carried out.
    std::map<std::string, std::int64_t> seqs_;
    // Requests for the file that failed with no reply to say so, journaled, until a waiting
    // close reports them.
    FailedRequests failures_;
};

}  // namespace scrivell
