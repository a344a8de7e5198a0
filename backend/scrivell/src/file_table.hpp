#pragma once

// The file table: what the backend holds for each open master file.
#include <chrono>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <zelt/Value.hpp>

#include "Column.hpp"
#include "Compression.hpp"
#include "Directory.hpp"
#include "Journal.hpp"
#include "OrderedMap.hpp"
#include "StreamingBlock.hpp"
#include "master_file.hpp"

namespace scrivell {

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

}  // namespace scrivell
