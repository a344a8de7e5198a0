#pragma once

#include <string>

namespace scrivell {

// Every effect on disk passes a named fail point, and every thread that serves the request
// loop from the side passes a delay point. In a build with BRENNIC_FAIL_POINTS (the test
// builds), the environment variable of that name chooses, for tests, a comma-separated list
// of:
// - NAME@N: the Nth pass of fail point NAME fails, once; NAME@N+: the Nth and every later
//   pass fail, as on a full disk. The names: rename, pwrite, fsync, H5Dwrite_chunk, H5Fflush,
//   journal_write, close_at_shutdown.
// - NAME~MS: every pass of delay point NAME waits MS milliseconds, to shake the timing of
//   what runs beside it. The names: delivery (the notification thread, before each message),
//   compression (a worker, before each row), metrics (before each scrape's answer).
// Any other build ignores the variable: no point ever fails or waits.
enum class FailPoint {
    Rename,
    Pwrite,
    Fsync,
    H5DwriteChunk,
    H5Fflush,
    JournalWrite,
    CloseAtShutdown,
};

enum class DelayPoint {
    Delivery,
    Compression,
    Metrics,
};

// Whether this pass of `point` is to fail; sets errno to EIO when it is. Thread-safe.
bool fails_now(FailPoint point) noexcept;

// Waits as long as the environment asks at `point`. Thread-safe.
void delay_at(DelayPoint point) noexcept;

// The points the environment puts in force, as it gives them ("pwrite@5, delivery~20"), or
// empty: always empty in a build without them.
std::string fail_points_in_force();

}  // namespace scrivell
