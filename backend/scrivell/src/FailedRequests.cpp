#include "FailedRequests.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <zelt/Value.hpp>

#include "text.hpp"

namespace scrivell {

namespace {

// The missing numbers a file keeps, at most; beyond it "..." says there were more.
constexpr std::size_t most_missing_bytes = 1024;

}  // namespace

void FailedRequests::add(const std::string& error) {
    if (failed_++ == 0) first_ = error;
}

void FailedRequests::add_missing(std::int64_t first, std::int64_t last) {
    std::string range = std::to_string(first);
    if (last != first) range += "-" + std::to_string(last);
    add_range(range);
    missing_requests_ += static_cast<std::size_t>(last - first + 1);
}

void FailedRequests::add_range(const std::string& range) {
    if (missing_.size() < most_missing_bytes) {
        missing_ += (missing_.empty() ? "" : ", ") + range;
    } else if (missing_.back() != '.') {
        missing_ += ", ...";
    }
}

void FailedRequests::merge(const FailedRequests& later) {
    if (failed_ == 0) first_ = later.first_;
    failed_ += later.failed_;
    if (!later.missing_.empty()) add_range(later.missing_);
    missing_requests_ += later.missing_requests_;
}

std::string FailedRequests::report() const {
    std::string report;
    if (failed_) {
        const bool one = failed_ == 1;
        report = std::to_string(failed_) + (one ? " earlier request" : " earlier requests") +
                 " for this file failed" + (one ? ": " : "; the first: ") + first_;
    }
    if (!missing_.empty()) {
        const bool one = missing_requests_ == 1;
        report += (report.empty() ? "" : "; and ") + std::string(one ? "request " : "requests ") +
                  missing_ + " never reached the service";
    }
    return report;
}

FailedRequests& UnopenedFailures::of(const std::string& filepath) {
    auto [there, added] = by_path_.try_emplace(filepath);
    if (added) {
        order_.push_back(filepath);
        bytes_ += 2 * filepath.size();  // the key and its place in the order
    }
    return there->second;
}

void UnopenedFailures::add(const std::string& filepath, const std::string& error) {
    FailedRequests& failures = of(filepath);
    bytes_ -= failures.bytes();
    failures.add(error);
    bytes_ += failures.bytes();
    ++requests_;
    bound();
}

void UnopenedFailures::merge(const std::string& filepath, const FailedRequests& later) {
    if (later.empty()) return;
    FailedRequests& failures = of(filepath);
    bytes_ -= failures.bytes();
    failures.merge(later);
    bytes_ += failures.bytes();
    requests_ += later.requests();
    bound();
}

void UnopenedFailures::forget(const std::string& filepath) {
    const auto there = by_path_.find(filepath);
    requests_ -= there->second.requests();
    bytes_ -= 2 * filepath.size() + there->second.bytes();
    by_path_.erase(there);
    order_.erase(std::find(order_.begin(), order_.end(), filepath));
}

void UnopenedFailures::bound() {
    while (order_.size() > 1 && (order_.size() > max_paths || bytes_ > max_bytes)) {
        const std::string oldest = order_.front();
        spdlog::error(
            "{} failed requests for \"{}\" will not be reported to its close: the record of "
            "unreported failures is full ({} files, {} bytes at most)",
            by_path_[oldest].requests(), zelt::printable(oldest, 512), max_paths, max_bytes);
        forget(oldest);
    }
}

std::string UnopenedFailures::take(const std::string& filepath) {
    const auto there = by_path_.find(filepath);
    if (there == by_path_.end()) return {};
    std::string report = there->second.report();
    forget(filepath);
    return report;
}

std::vector<std::string> UnopenedFailures::take_all() {
    std::vector<std::string> reports;
    while (!order_.empty()) {
        const std::string filepath = order_.front();
        reports.push_back(in_quotes(filepath) + ": " + take(filepath));
    }
    return reports;
}

}  // namespace scrivell
