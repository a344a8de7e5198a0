#pragma once

// One split dataset of an open master file, from its registration to its close.
#include <chrono>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <optional>
#include <scrivell/Compression.hpp>
#include <scrivell/Counters.hpp>
#include <string>
#include <vector>
#include <zelt/Value.hpp>

#include "Budget.hpp"
#include "StreamingBlock.hpp"
#include "master_file.hpp"
#include "records.hpp"

namespace scrivell {

class Outbox;
class CompressionPool;

// What the open files and their streams use and outlive: the notifications, the compression
// workers, the budget, the counts for metrics, and whether rows must reach the device before
// they count.
struct Services {
    Outbox& outbox;
    CompressionPool& pool;
    Budget& budget;
    Counters& counters;
    bool sync = false;
    bool verify_precompressed = false;
};

// What a stream asks of the open file it belongs to. The file's other datasets stay out of
// its sight.
class StreamOwner {
  public:
    virtual const std::string& path() const = 0;
    virtual hid master() const = 0;
    virtual const std::shared_ptr<const Directory>& directory() const = 0;
    // Journals `record` and applies it; the stream's own records come back to its apply().
    virtual void commit(const Record& record) = 0;
    // Puts the file's journal on disk.
    virtual void write_journal() = 0;
    // Writes everything the master holds to disk. Throws H5Error.
    virtual void flush() = 0;

  protected:
    ~StreamOwner() = default;
};

// How a split dataset was registered: rows per block, how its blocks store their rows, what
// its sub-file names start with (empty for a master's first split dataset), and whether a
// virtual dataset "NAME/data" over all blocks is made at close.
struct SplitSettings {
    std::int64_t splitSize = 1;
    Compression compression;
    std::string stem;
    bool vds = false;

    // The options map of a "datainfolist" element: "compression", "compression_level" and
    // "vds", each read here and nowhere else. Throws Error naming `where`.
    static SplitSettings from_options(const zelt::Map& options, const std::string& where);
    // A "datainfolist" element: [name, splitSize] or [name, splitSize, options]; the stem is
    // left to the file. Throws Error naming `where`.
    static std::pair<std::string, SplitSettings> from_element(const zelt::Value& element,
                                                              const std::string& where);
};

// A stream's one set of counts: what status, progress, the stack, the log and the metrics
// report. Frames of finished blocks; rows of the block being filled, written to its file,
// readable there, and with compression workers; the bytes of both as they came and as
// stored.
struct StreamCounts {
    std::int64_t blocks_finished = 0;
    std::int64_t frames_finished = 0;
    std::int64_t rows_written = 0;
    std::int64_t rows_readable = 0;
    std::int64_t rows_pending = 0;
    std::uint64_t raw_bytes = 0;
    std::uint64_t stored_bytes = 0;

    // The frames a reader may read, all of them below this count.
    std::int64_t frames_readable() const { return frames_finished + rows_readable; }
    // The frames the service took: readable once written and published.
    std::int64_t frames_taken() const { return frames_finished + rows_written + rows_pending; }
};

// A split dataset: its journaled account (the index of the next sub-file, the block being
// filled as the journal counts it, what finished blocks hold), which apply() keeps; the block
// being filled, whose rows are already on disk; and the rows still with a compression worker.
// Files are removed only by explicit calls (discard), never when a stream or its block is
// replaced or destroyed.
class SplitStream {
  public:
    SplitStream(std::string name, SplitSettings settings, StreamOwner& file, Services& services);

    const std::string& name() const { return name_; }
    const SplitSettings& settings() const { return settings_; }
    StreamCounts counts() const;
    // The index of the block the next frame goes to.
    std::int64_t next_block() const { return next_index_; }

    // Applies one of the stream's journal records (a block started, a row written, a block
    // full, a block done) to its account. Throws Error for one the account cannot take.
    void apply(const Record& record);

    // Takes one item of a dataset_append_split_map request (`record`): written into the block
    // being filled (started at its first item), or handed to a compression worker; the block
    // is finished once its last row is in. Throws Error naming the dataset.
    void append(const zelt::Value& item, const zelt::Map& record);
    // Writes the compressed rows waiting, in their order, as their workers finish them (at
    // most `keep` stay waiting; with `ready_only`, those done already and no more). A row that
    // cannot be written is recorded as a failure of its file; the next row takes its place.
    void write_pending(std::size_t keep = 0, bool ready_only = false);
    // Drops the block being filled and its hidden file, once the rows with workers are done:
    // the dataset is registered anew. Throws Error.
    void discard();
    // At close: finishes the last block, announced with the close's "identify" and "CTType"
    // (`record`); its notification is waited for with `held_by_close`. Returns whether there
    // was one. Throws Error.
    bool finish_last_block(const zelt::Map& record, bool held_by_close);
    // At close, with "vds": makes "NAME/data" over all blocks. Returns why it was not made,
    // empty once made. Throws Error.
    std::string make_stack();

    // Makes the rows written so far readable (StreamingBlock::publish). Throws Error.
    void publish();
    // Whether a progress message is due: more frames are taken than the last one told, and
    // none was told yet, or progress_frames more were taken, or progress_ms passed since.
    bool progress_due(std::chrono::steady_clock::time_point now) const;
    // Hands the outbox a progress message for this dataset (nothing without a progress
    // topic), and remembers what it told.
    void tell_progress(bool final);
    // What status says of it: its settings, its counts, where a reader finds its blocks
    // ("sub_files"), and the block being filled ("current").
    zelt::Map status() const;

    // At a restart: whether the journal left a block being filled.
    bool has_filling() const { return filling_.has_value(); }
    // Takes up the block being filled where its rows end, and completes one that was full.
    // Throws Error; the caller keeps what it cannot take up and reports it.
    void take_up();
    // The hidden file of a block that could not be taken up, moved aside; says where its rows
    // are kept (empty when none were found).
    std::string keep_aside();

  private:
    // The block being filled, as the journal accounts for it: enough to take it up again.
    struct BlockAccount {
        std::int64_t index = 0;
        RowLayout layout;
        std::int64_t rows = 0;                    // rows in its file
        std::optional<std::string> full_message;  // once full: what announces it
    };
    // A row of a compressed block on its way: a worker compresses it, the request loop then
    // writes it in its turn. `item` keeps the row's bytes alive until then.
    struct PendingRow {
        std::future<std::vector<char>> chunk;
        zelt::Value item;
        Budget::Hold held;
        std::string where;
    };

    BlockAccount& filling(const char* what);
    void start_block(const RowLayout& layout, const std::string& where);
    // The one sequence that finishes block next_index_, for requests and for a restart alike:
    // journals it as full (with `message`, which announces it), gives its sub-file its final
    // name, links it from the master, flushes the master, journals it as done and posts
    // `message` (which a close waits for, with `held_by_close`). A block that a restart found
    // renamed already (no block_) is linked, journaled and announced. Throws Error; a block
    // whose finishing failed stays on disk, and finishing it again picks up where it stopped.
    void finish_block(std::string message, bool held_by_close);
    void write_row(const zelt::Value& item, const std::string& where);
    void pass_through(const zelt::NdArray& array, const std::string& where);
    void queue(const zelt::NdArray& array, const std::string& where);
    // Counts the row just written into the block, which took its stored bytes from
    // `stored_before` on.
    void count_row(std::uint64_t stored_before);
    void set_block(std::unique_ptr<StreamingBlock> block);
    // The blocks finished (renamed to their final names), all full.
    std::int64_t blocks_complete() const { return filling_ ? filling_->index : next_index_; }
    // What a reader of the block being filled needs ("file", "first_frame", "rows" readable,
    // "swmr"), or nil between blocks.
    zelt::Value current() const;

    std::string name_;
    SplitSettings settings_;
    StreamOwner* file_;
    Services* services_;
    std::int64_t next_index_ = 0;
    std::optional<BlockAccount> filling_;
    // The layout of block 0's rows: with "vds", every block's.
    std::optional<RowLayout> first_layout_;
    std::unique_ptr<StreamingBlock> block_;
    Budget::Hold block_descriptors_;
    std::chrono::steady_clock::time_point block_started_{};  // for the log line of a sub-file
    std::deque<PendingRow> pending_;  // rows of the block being compressed, in arrival order
    // What the finished blocks hold.
    std::int64_t frames_finished_ = 0;
    std::uint64_t raw_finished_ = 0;
    std::uint64_t stored_finished_ = 0;
    // Progress messages: the frames readable that the last one told, and when (none told
    // yet: never); the last "identify" its items carried.
    std::int64_t progress_told_ = 0;
    std::optional<std::chrono::steady_clock::time_point> progress_at_;
    zelt::Value identify_;
};

}  // namespace scrivell
