#pragma once

namespace scrivell {

// Every effect on disk passes a named fail point. In a build with BRENNIC_FAIL_POINTS, the
// environment variable of that name chooses points that fail, for tests: a comma-separated
// list of NAME@N (the Nth pass fails, once) or NAME@N+ (the Nth and every later pass fail, as
// on a full disk). The names: rename, pwrite, fsync, H5Dwrite_chunk, H5Fflush, journal_write,
// close_at_shutdown. Elsewhere no point ever fails.
enum class FailPoint {
    Rename,
    Pwrite,
    Fsync,
    H5DwriteChunk,
    H5Fflush,
    JournalWrite,
    CloseAtShutdown,
};

// Whether this pass of `point` is to fail; sets errno to EIO when it is. Thread-safe.
bool fails_now(FailPoint point) noexcept;

}  // namespace scrivell
