#pragma once

#include <cstdint>
#include <iterator>
#include <map>
#include <string>

namespace scrivell {

// What the backend has done since it started, for metrics: counts that only grow.
struct Counters {
    std::uint64_t frames_written = 0;  // rows written into blocks
    std::uint64_t blocks_finished = 0;
    struct Bytes {
        std::uint64_t raw = 0;     // as the rows came
        std::uint64_t stored = 0;  // as they take the files
    };
    std::map<std::string, Bytes> bytes_by_codec;  // rows written, per codec ("none", "bslz4")
    std::uint64_t journal_writes = 0;
    // Journal writes (with their sync) taking at most each bound, and their seconds in all.
    static constexpr double journal_bounds[] = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                0.05,   0.1,   0.25,   0.5,   1.0,  2.5};
    std::uint64_t journal_within[std::size(journal_bounds)] = {};
    double journal_seconds = 0;
};

}  // namespace scrivell
