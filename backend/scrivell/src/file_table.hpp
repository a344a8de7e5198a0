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
#include "FailedRequests.hpp"
#include "Journal.hpp"
#include "OrderedMap.hpp"
#include "SplitStream.hpp"
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

// A file-table entry: the open file under "fp", and what the service holds for each dataset
// registered for it, one place per dataset. The pending-append and split tables of a file are
// its `files_nosplit` and `files_split`, in registration order. A name is one kind or the
// other, and never "fp", so the open file cannot be lost.
struct FileEntry {
    MasterFileHandle fp;
    // The master's directory, opened once: every sub-file is made relative to it.
    std::shared_ptr<const Directory> dir;
    OrderedMap<AppendDataset> files_nosplit;
    OrderedMap<SplitStream> files_split;
    // What the service holds for the file, recorded for a restart (when journaling is on).
    std::optional<JournalFile> journal;
    // Per client (its identity, in hex), the highest "seq" of its requests carried out.
    std::map<std::string, std::int64_t> seqs;
    // Requests for the file that failed with no reply to say so, journaled, until a waiting
    // close reports them.
    FailedRequests failures;
};

}  // namespace scrivell
