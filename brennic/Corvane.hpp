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
#include "ErrorLines.hpp"
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

    // Whether a file could not be written and is still held: HDF5 would walk its broken
    // caches at exit.
    bool holds_unwritable_files() const { return scrivell.holds_unwritable_files(); }

  private:
    std::string ip;
    std::string port;
    zelt::Worker worker;
    scrivell::Scrivell scrivell;
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
    // Hands the metrics endpoint the numbers of now, at most every 100 ms unless `now`.
    void publish_metrics(bool now = false);
    RequestCounts request_counts_;
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
