#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <scrivell/Scrivell.hpp>
#include <string>
#include <unordered_map>
#include <vector>
#include <zelt/Worker.hpp>
#include <zelt/storageParser.hpp>

#include "LocalRings.hpp"

namespace brennic {

// The service: the ROUTER worker clients reach and the one backend that does all HDF5 work.
// Requests are served one at a time, in arrival order, on the calling thread.
class Corvane {
    // First, so that it is destroyed last: rows of the backend still waiting for a worker at
    // exit hold slots of its rings, and release them as they go.
    std::unique_ptr<LocalRings> local_;

  public:
    // Reads "ip" and "port" of section "corvane", binds the worker, then makes the backend.
    // Throws zelt::Error when the configuration lacks them or the endpoint cannot be bound.
    Corvane();

    // Serves requests until request_stop() is called, then closes every open file as
    // closeAll does, so that nothing handed over is lost, and returns.
    void start();
    // The last line of the log, "brennic VERSION stopped: ...", once start() has returned: the
    // caller logs it once the service is torn down, so that nothing comes after it.
    const std::string& stopped_line() const { return stopped_line_; }

    // Asks every running loop to stop after its current request. Safe in a signal handler;
    // returns whether a stop had been asked for already.
    static bool request_stop() noexcept { return stop_requested_.exchange(true); }

    std::string ip;
    std::string port;
    zelt::Worker worker;
    scrivell::Scrivell scrivell;

  private:
    // The requests that failed without a reply, because they asked for none, per file path:
    // how many and the first one's error, until a waiting close of the path reports them.
    class UnreportedFailures {
      public:
        void add(const std::string& filepath, const std::string& error);
        // Requests `first` to `last` of a client never reached the service.
        void add_missing(const std::string& filepath, std::int64_t first, std::int64_t last);
        // The report for `filepath`, forgotten once taken; empty when nothing failed.
        std::string take(const std::string& filepath);
        bool holds(const std::string& filepath) const;
        // The reports of every path, forgotten once taken.
        std::vector<std::string> take_all();
        // The failed requests not yet reported, over all paths.
        std::size_t count() const { return count_; }

      private:
        struct Failures {
            std::size_t count = 0;
            std::string first;
            std::string missing;  // "14-23, 24": requests that never arrived
            std::size_t missing_requests = 0;
        };
        // The failures of `filepath`, made when there are none yet.
        Failures& of(const std::string& filepath);
        // Drops the oldest paths beyond the bounds.
        void bound();
        static constexpr std::size_t max_paths = 4096;
        static constexpr std::size_t max_bytes = 16 << 20;
        std::unordered_map<std::string, Failures> by_path_;
        std::deque<std::string> order_;
        std::size_t count_ = 0;
        std::size_t bytes_ = 0;  // paths and errors held
    };

    // The ERROR lines of failed requests, at most one a second per file: a client that sends
    // a thousand frames to a file that failed to open fills no log. What is held back is
    // counted and said in one line.
    class ErrorLines {
      public:
        void log(const std::string& filepath, const std::string& line);
        // Says what was held back for files quiet for a second (with `all`, for every file),
        // and forgets them.
        void flush(bool all = false);

      private:
        struct Held {
            std::chrono::steady_clock::time_point logged;
            std::size_t more = 0;
        };
        void say_more(const std::string& filepath, std::size_t more);
        std::unordered_map<std::string, Held> by_file_;
    };

    explicit Corvane(const zelt::storageParser& config);
    void serve(const std::string& identity);
    void close_all_files();
    // Counts the request's "seq" for its client and its open file; a gap is a failure of the
    // file. Returns false when the file is not open (yet): an open's number counts after it.
    // Rows written after their request, once compressed, that could not be: into the record
    // of failures that the next waiting close of their file reports.
    void collect_row_failures();
    [[nodiscard]] bool note_seq(const std::string& identity, const zelt::Map& record);
    // Puts what the journals recorded on disk; a failure is logged, not thrown.
    void write_journals();
    // The reply to a request that succeeded: "ok", or the error that tells a waiting close
    // of earlier failures.
    zelt::Map reply_to(const zelt::Value& request);
    // Sends `answer` to the sender of `request`, with the request's "seq" when it has one.
    // A reply too large to send becomes a short error reply to the same client.
    void reply(const std::string& identity, const zelt::Value& request, zelt::Map answer);
    // The answer to "status": version, what the backend holds, failed requests unreported.
    zelt::Map status() const;

    // Gives the slots that requests are done with back to their clients.
    void send_releases();

    // An error as the reply, the log and the record of failures hold it, at most.
    static constexpr std::size_t max_error_bytes = 2048;
    UnreportedFailures failures_;
    ErrorLines error_lines_;
    std::string stopped_line_;
    std::string current_identity_;  // the sender of the request being decoded

    static inline std::atomic<bool> stop_requested_{false};
    static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal");
};

}  // namespace brennic
