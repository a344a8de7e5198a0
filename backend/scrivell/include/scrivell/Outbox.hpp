#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <scrivell/Journal.hpp>
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

    static VeskSettings from(const zelt::storageParser& config);
};

// The notifications owed to the downstream system, delivered strictly in the order they were
// posted, each by a producer of its own. While no broker answers, it tries at most once per
// timeout_ms window, so that the service is not held up between attempts.
class Outbox {
  public:
    explicit Outbox(VeskSettings settings) : settings_(std::move(settings)) {}

    // Queues a notification (its JSON message, what it is, and the file whose close waits for
    // it, if any) behind those still owed, and tries to deliver them. Returns whether this
    // one was delivered; a switched-off outbox delivers everything at once.
    [[nodiscard]] bool post(std::string message, std::string what, std::string held_by = "");
    // Tries to deliver what is owed, unless the last attempt failed less than timeout_ms ago.
    void deliver();
    // Records every notification posted and delivered in `journal`, so that those still owed
    // survive a restart; the journal is emptied whenever nothing is owed.
    void keep_journal(JournalFile journal) { journal_.emplace(std::move(journal)); }
    JournalFile* journal() { return journal_ ? &*journal_ : nullptr; }
    // Whether a notification that the close of `filepath` waits for is still owed.
    bool holds(const std::string& filepath) const;

    std::size_t size() const { return owed_.size(); }
    // What each owed notification is, oldest first.
    std::vector<std::string> owed() const;
    // Why the last attempt failed.
    const std::string& last_error() const { return last_error_; }
    // The one-line error of a notification `what` that post() could not deliver.
    std::string why_owed(const std::string& what) const;
    const VeskSettings& settings() const { return settings_; }

  private:
    struct Owed {
        std::uint64_t number;
        std::string message;
        std::string what;
        std::string held_by;
    };

    VeskSettings settings_;
    std::deque<Owed> owed_;
    std::uint64_t posted_ = 0;
    std::chrono::steady_clock::time_point quiet_until_{};
    std::string last_error_;
    std::optional<JournalFile> journal_;
};

// Hands one message to a new producer and waits, at most `settings.timeout_ms`, until a broker
// has it. Throws NotifyError naming `what` when no broker answers or the delivery fails.
void deliver_notification(const VeskSettings& settings, const std::string& message,
                          const std::string& what);

}  // namespace scrivell
