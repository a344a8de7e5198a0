#pragma once

// One split dataset of an open master file, from its registration to its close.
#include <chrono>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <optional>
#include <scrivell/Counters.hpp>
#include <scrivell/Settings.hpp>
#include <string>
#include <utility>
#include <vector>
#include <zelt/Value.hpp>

#include "Compression.hpp"
#include "StreamingBlock.hpp"

namespace scrivell {

struct FileEntry;
class Outbox;
class CompressionPool;

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

// What a stream touches beyond itself: its master's entry (the file, its journal), the
// notifications, whether rows must reach the device before they count, and the backend's
// counts of held bytes and of rows with compression workers. A row that cannot be written
// once compressed is a failure the entry holds.
struct StreamContext {
    FileEntry& entry;
    const std::string& filepath;
    Outbox& outbox;
    bool sync;
    std::uint64_t& held_bytes;
    std::uint64_t& pending_bytes;
    Counters& counters;
};

// A split dataset: its journaled account (block size, the index of the next sub-file, the
// block being filled as the journal counts it, what finished blocks hold), which apply()
// keeps; the block being filled, whose rows are already on disk; and the rows still with a
// compression worker. Files are removed only by explicit calls (StreamingBlock::discard),
// never when a stream or its block is replaced or destroyed.
class SplitStream {
  public:
    std::int64_t splitSize = 1;  // rows per block, checked at registration
    std::int64_t splitFileIndex = 0;
    std::optional<BlockAccount> filling;
    Compression compression;  // how its blocks store their rows
    // What its sub-file names start with: empty for a master's first split dataset.
    std::string stem;
    bool vds = false;  // a virtual dataset "NAME/data" over all blocks, made at close
    // The rows of its blocks, as the last block began (a type string and an item's shape).
    std::string typestr;
    std::vector<std::uint64_t> shape;
    std::unique_ptr<StreamingBlock> block;
    std::chrono::steady_clock::time_point block_started{};  // for the log line of a sub-file
    std::deque<PendingRow> pending;  // rows of the block being compressed, in arrival order
    // What the finished blocks' rows take in their files, and took as they came.
    std::uint64_t stored_bytes = 0;
    std::uint64_t raw_bytes = 0;
    // The frames the last finished block lacks of splitSize: only a close's last block does.
    std::int64_t short_by = 0;
    // Progress messages: the frames readable that the last one told, and when (none told
    // yet: never); the last "identify" its items carried.
    std::int64_t progress_told = 0;
    std::optional<std::chrono::steady_clock::time_point> progress_at;
    zelt::Value identify;

    // The rows of the block being filled that are taken: written, or with a worker.
    std::int64_t rows_taken() const;
    // The blocks finished (renamed to their final names), all full.
    std::int64_t blocks_complete() const { return filling ? filling->index : splitFileIndex; }
    // The frames a reader may read, all of them below this count: the finished blocks' and
    // the rows published of the block being filled.
    std::int64_t frames_readable() const;
    // Makes the rows written so far readable (StreamingBlock::publish). Throws Error.
    void publish();
    // Hands the outbox a progress message for this dataset of `context.filepath` (nothing
    // without a progress topic), and remembers what it told.
    void tell_progress(StreamContext& context, const std::string& name, bool final);
    // The frames of the finished blocks: splitSize each, the last one's short_by less.
    std::int64_t frames_of_finished_blocks() const;
    // The frames taken: those of the finished blocks and the rows taken of the block being
    // filled, readable once written and published.
    std::int64_t frames_taken() const;
    // Whether a progress message is due: more frames are taken than the last one told, and
    // none was told yet, or progress_frames more were taken, or progress_ms passed since.
    bool progress_due(const VeskSettings& settings,
                      std::chrono::steady_clock::time_point now) const;
    // Counts the row just written into the block, which took its stored bytes from
    // `stored_before` on.
    void count_row(StreamContext& context, std::uint64_t stored_before) const;
    // For status: what a reader of the block being filled needs ("file", "first_frame",
    // "rows" readable, "swmr"), or nil between blocks.
    zelt::Value current() const;
    // The one sequence that finishes block splitFileIndex, for requests and for a restart
    // alike: journals it as full (with `message`, which announces it), gives its sub-file its
    // final name, links it from the master, flushes the master, journals it as done and posts
    // `message` (which a close waits for, with `held_by_close`). A block that a restart found
    // renamed already (no `block`) is linked, journaled and announced. Throws Error; a block
    // whose finishing failed stays on disk, and finishing it again picks up where it stopped.
    void finish_block(StreamContext& context, const std::string& name, std::string message,
                      bool held_by_close);
    // Writes a frame its client compressed (checked, and decoded too with `verify`), or queues
    // it behind the rows still with a worker. Throws Error naming `where`.
    void pass_through(StreamContext& context, const std::string& name, const zelt::NdArray& array,
                      bool verify, const std::string& where);
    // Hands `array`'s row to a worker of `pool`; returns its raw bytes.
    std::uint64_t queue(StreamContext& context, CompressionPool& pool, const zelt::NdArray& array,
                        const std::string& where);
    // Writes the compressed rows waiting, in their order, as their workers finish them (at
    // most `keep` stay waiting; with `ready_only`, those done already and no more). A row that
    // cannot be written is recorded as a failure of its file; the next row takes its place.
    void write_pending(StreamContext& context, const std::string& name, std::size_t keep = 0,
                       bool ready_only = false);
};

}  // namespace scrivell
