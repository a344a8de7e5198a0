#pragma once

// The changes to an open file's state, one type each. A request builds them, the file's
// journal records them and one function applies them to the file's tables; a restart reads
// them back and applies them through the same function. Encoded as MessagePack maps
// {"op": ..., fields...}, the format of journal version 1.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>
#include <zelt/Value.hpp>

#include <scrivell/Compression.hpp>

namespace scrivell::records {

// Values written into the master by a map request ("recreate": texts replaced as a whole).
// The master holds them already; only a master rebuilt from the journal is written again.
struct MapWritten {
    bool recreate = false;
    zelt::Map map;
};

// An appendable dataset registered (again: its values so far are dropped).
struct AppendRegistered {
    std::string name;
    zelt::Map description;
};

// Values appended, by dataset name, every one accepted when it arrived: a map. Not owned: it
// is the request's, or the stored record's it was decoded from, and lives as long as that.
struct Appended {
    const zelt::Value* values = nullptr;
};

// A split dataset registered (again: it restarts at block 0).
struct SplitRegistered {
    std::string name;
    std::int64_t splitSize = 1;
    Compression compression;  // stored only when there is some
    std::string stem;         // what its sub-file names start with; stored only when not empty
    bool vds = false;         // one virtual dataset over all blocks at close; stored when set
};

// The hidden file of a split dataset's block `index` made, for rows of this type and shape.
struct BlockStarted {
    std::string name;
    std::int64_t index = 0;
    std::string typestr;
    std::vector<std::uint64_t> shape;
};

// One more row of the block being filled is in its file.
struct RowWritten {
    std::string name;
};

// The block is full and about to take its final name; `message` announces it.
struct BlockFull {
    std::string name;
    std::string message;
};

// The block has its final name and its link: the next block is index + 1. Its rows took
// `stored_bytes` in the file, `raw_bytes` as they came.
struct BlockDone {
    std::string name;
    std::int64_t index = 0;
    std::uint64_t stored_bytes = 0;
    std::uint64_t raw_bytes = 0;
};

// The highest request number carried out for one client (its identity, in hex).
struct SeqNoted {
    std::string client;
    std::int64_t seq = 0;
};

// Request numbers first..last of a client never reached the service.
struct RequestsMissing {
    std::int64_t first = 0;
    std::int64_t last = 0;
};

// A request without a reply failed; the next waiting close reports it.
struct RequestFailed {
    std::string error;
};

}  // namespace scrivell::records

namespace scrivell {

using Record = std::variant<records::MapWritten, records::AppendRegistered, records::Appended,
                            records::SplitRegistered, records::BlockStarted, records::RowWritten,
                            records::BlockFull, records::BlockDone, records::SeqNoted,
                            records::RequestsMissing, records::RequestFailed>;

class JournalFile;

// The record as the journal stores it.
zelt::Map encode(const Record& record);
// Adds the record to `journal` as encode() gives it (appended values without a copy).
void add_to(JournalFile& journal, const Record& record);
// The record a journal stored; an Appended refers into `stored`. Throws Error for an unknown "op"
// or a missing or mistyped field.
Record decode(const zelt::Value& stored);

}  // namespace scrivell
