#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <scrivell/Counters.hpp>
#include <string>
#include <thread>
#include <unordered_map>
#include <zelt/Value.hpp>

struct MHD_Daemon;
struct MHD_Connection;

namespace brennic {

// Requests served, by type and result ("ok", "error"): a type the service does not know
// counts as "other", so that a client cannot grow the table.
class RequestCounts {
  public:
    void count(const zelt::Value& request, bool ok);
    const std::map<std::pair<std::string, std::string>, std::uint64_t>& counts() const {
        return counts_;
    }

  private:
    std::map<std::pair<std::string, std::string>, std::uint64_t> counts_;
};

// What the request loop tells the metrics endpoint: counts since the start and what is held
// now. A copy, handed over under a short lock; the endpoint never touches the file table.
struct MetricsSnapshot {
    scrivell::Counters backend;
    // Requests by type and result ("ok", "error").
    std::map<std::pair<std::string, std::string>, std::uint64_t> requests;
    std::uint64_t open_files = 0;
    std::uint64_t held_bytes = 0;
    std::uint64_t memory_limit_bytes = 0;
    std::uint64_t notifications_delivered = 0;
    std::uint64_t notifications_owed = 0;
    std::uint64_t notifications_dropped = 0;
    std::uint64_t rows_with_workers = 0;
    std::uint64_t ring_slots_in_use = 0;
    std::uint64_t unreported_failures = 0;
};

// The snapshot in Prometheus's text format (version 0.0.4), every name "brennic_", counters
// "_total", in base units.
std::string prometheus_text(const MetricsSnapshot& snapshot, const std::string& version);

// Where `[corvane] metrics` says to serve: "HOST:PORT", a numeric IPv4 address. Throws
// zelt::Error naming the entry for anything else.
struct MetricsAddress {
    std::string host;
    std::uint16_t port = 0;
    static MetricsAddress parse(const std::string& text);
};

// GET /metrics over HTTP, on libmicrohttpd's own thread: 404 for another path, 405 for
// another method. Idle or slow scrapers are cut after 10 s, and at most 8 are served at once.
class MetricsEndpoint {
  public:
    // Serves at `address`; throws zelt::Error naming it when it cannot be bound.
    MetricsEndpoint(const MetricsAddress& address, std::string version);
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // From the request loop: the numbers the next scrape gives.
    void publish(MetricsSnapshot snapshot);
    // The text a scrape gives now.
    std::string text() const;

    // A connection begins or ends; from the serving thread.
    void note_connection(MHD_Connection* connection, bool started);

  private:
    // The serving thread: runs the daemon, and cuts every connection whose request is not
    // answered within request_limit of its start, however it trickles in or out.
    void serve();
    void cut_slow_connections();
    static constexpr std::chrono::seconds request_limit{5};

    std::string version_;
    mutable std::mutex mutex_;
    MetricsSnapshot snapshot_;
    MHD_Daemon* daemon_ = nullptr;
    std::unordered_map<MHD_Connection*, std::chrono::steady_clock::time_point> started_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;  // last: it runs on the members above
};

}  // namespace brennic
