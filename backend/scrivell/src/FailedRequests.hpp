#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace scrivell {

// The requests for one file that failed with no reply to say so, until a waiting close of
// the file reports them: how many, the first one's error, and the numbers of requests that
// never arrived. Bounded in bytes whatever a client sends.
class FailedRequests {
  public:
    void add(const std::string& error);
    // Requests `first` to `last` of a client never reached the service.
    void add_missing(std::int64_t first, std::int64_t last);
    // Adds `later`'s failures after these.
    void merge(const FailedRequests& later);
    // The failed and missing requests counted.
    std::size_t requests() const { return failed_ + missing_requests_; }
    bool empty() const { return requests() == 0; }
    std::size_t bytes() const { return first_.size() + missing_.size(); }
    // "2 earlier requests for this file failed; the first: ...; and requests 4-9 never reached
    // the service"; empty when nothing failed.
    std::string report() const;

  private:
    void add_range(const std::string& range);
    std::size_t failed_ = 0;
    std::string first_;
    std::string missing_;  // "14-23, 24"
    std::size_t missing_requests_ = 0;
};

// The failures of files no longer (or never) open, per path, until a waiting close of the
// path or a closeAll reports them. Bounded in paths and bytes: beyond them the oldest path's
// failures are dropped, and that is logged once, at ERROR.
class UnopenedFailures {
  public:
    void add(const std::string& filepath, const std::string& error);
    void merge(const std::string& filepath, const FailedRequests& later);
    // The report of `filepath`, forgotten once taken; empty when nothing failed.
    std::string take(const std::string& filepath);
    // Every path's report ("\"PATH\": report"), oldest first, forgotten once taken.
    std::vector<std::string> take_all();
    // Every path with failures, oldest first.
    const std::deque<std::string>& paths() const { return order_; }
    std::size_t requests() const { return requests_; }

  private:
    FailedRequests& of(const std::string& filepath);
    void forget(const std::string& filepath);
    void bound();
    static constexpr std::size_t max_paths = 4096;
    static constexpr std::size_t max_bytes = 16 << 20;
    std::unordered_map<std::string, FailedRequests> by_path_;
    std::deque<std::string> order_;
    std::size_t requests_ = 0;
    std::size_t bytes_ = 0;  // paths and errors held
};

}  // namespace scrivell
