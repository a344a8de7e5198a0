#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <scrivell/Scrivell.hpp>
#include <string>
#include <unordered_map>
#include <vector>
#include <zelt/Worker.hpp>
#include <zelt/storageParser.hpp>

#include "CurveClients.hpp"
#include "LocalRings.hpp"
#include "Metrics.hpp"

namespace brennic {

// The service: the ROUTER worker clients reach and the one backend that does all HDF5 work.
// Requests are served one at a time, in arrival order, on the calling thread.
class Corvane {
    // First, so that it is destroyed last: rows of the backend still waiting for a worker at
    // exit hold slots of its rings, and release them as they go.
    std::unique_ptr<LocalRings> local_;
    // Serves the metrics, when [corvane] metrics names an address.
    std::unique_ptr<MetricsEndpoint> metrics_;
    // The clients CURVE allows; nullptr when CURVE is off. Before the worker, which asks it.
    std::shared_ptr<CurveClients> curve_clients_;

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
    // Asks the loop to read the CURVE clients again (SIGHUP).
    static void request_reload() noexcept { reload_requested_ = true; }

    std::string ip;
    std::string port;
    zelt::Worker worker;
    scrivell::Scrivell scrivell;

  private:
    // The ERROR lines of failed requests, at most one a second per file: a client that sends
    // a thousand frames to a file that failed to open fills no log. What is held back is
    // counted and said in one line. Bounded whatever clients send: a file is kept by the
    // first max_key_bytes of its path, and at most max_files of them; one more says what was
    // held back for all of them first.
    class ErrorLines {
      public:
        void log(const std::string& filepath, const std::string& line);
        // Says what was held back for files quiet for a second (with `all`, for every file),
        // and forgets them; without `all`, it looks at most once a second.
        void flush(bool all = false);

      private:
        static constexpr std::size_t max_files = 256;
        static constexpr std::size_t max_key_bytes = 1024;
        struct Held {
            std::chrono::steady_clock::time_point logged;
            std::size_t more = 0;
        };
        void say_more(const std::string& filepath, std::size_t more);
        std::unordered_map<std::string, Held> by_file_;
        std::chrono::steady_clock::time_point flushed_{};
    };

    explicit Corvane(const zelt::storageParser& config);
    void serve(const std::string& identity);
    void close_all_files();
    // Counts the request's "seq" for its client and its open file; a gap is a failure of the
    // file. Returns false when the file is not open (yet): an open's number counts after it.
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
    // Counts a request by its type (one the service knows, else "other") and result.
    void count_request(const zelt::Value& request, bool ok);
    // Hands the metrics endpoint the numbers of now, at most every 100 ms unless `now`.
    void publish_metrics(bool now = false);
    std::map<std::pair<std::string, std::string>, std::uint64_t> requests_;
    std::chrono::steady_clock::time_point metrics_published_{};

    // An error as the reply, the log and the record of failures hold it, at most.
    static constexpr std::size_t max_error_bytes = 2048;
    ErrorLines error_lines_;
    std::string stopped_line_;
    std::string current_identity_;  // the sender of the request being decoded

    static inline std::atomic<bool> stop_requested_{false};
    static inline std::atomic<bool> reload_requested_{false};
    static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal");
};

}  // namespace brennic
