#pragma once

// What the backend reads from the configuration, once, at start-up.
#include <cstdint>
#include <string>
#include <vector>

namespace zelt {
class storageParser;
}

namespace scrivell {

// Where the scan notifications go: section "vesk" of the configuration, read once at start-up.
struct VeskSettings {
    std::string bootstrap_servers;  // empty: notifications are switched off
    int timeout_ms = 5000;          // the longest one delivery attempt waits for a broker
    // Where the readable frames of each split dataset are told as a scan goes on: empty, not
    // at all. A message every `progress_frames` frames or `progress_ms`, whichever is first.
    std::string progress_topic;
    std::int64_t progress_frames = 100;
    int progress_ms = 200;

    static VeskSettings from(const zelt::storageParser& config);
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

}  // namespace scrivell
