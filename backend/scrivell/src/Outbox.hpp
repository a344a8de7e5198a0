#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <scrivell/Settings.hpp>
#include <scrivell/errors.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#include <zelt/Value.hpp>

#include "Journal.hpp"

namespace scrivell {

// The largest notification message: one that would be larger is refused (NotifyError).
inline constexpr std::size_t max_notification_bytes = 64 * 1024;

// The notification message as the downstream system receives it: JSON in one line with
// ", " and ": " separators and every non-ASCII character escaped. Throws NotifyError for a
// value without JSON form or a message above max_notification_bytes.
std::string notification_json(const char* tag, const zelt::Value& identify,
                              const zelt::Value& CTType, const std::string& filepath,
                              const std::string& datasetpath);

// How far readers may read a split dataset, in the same JSON form: "scan_progress" with the
// master, the dataset, the frames readable, the blocks finished, the block being filled (or
// null) and whether the scan is closed. An "identify" without a JSON form is sent as null.
std::string progress_json(const zelt::Value& identify, const std::string& filepath,
                          const std::string& datasetpath, std::int64_t frames_readable,
                          std::int64_t blocks_complete, const zelt::Value& current, bool final);

// The notifications owed to the downstream system. A delivery thread of its own, with one
// long-lived producer, sends them strictly in the order they were posted; the request loop
// only posts, and never waits for a broker unless a close asks it to. While no broker answers,
// the thread tries at most once per timeout_ms window. A notification a broker refuses for
// good (its size, authorization, an invalid topic) is dropped with an ERROR line and kept for
// the next waiting close of its file to report; it never holds the queue.
class Outbox {
  public:
    explicit Outbox(VeskSettings settings);
    ~Outbox();  // stops the thread; what is still owed stays in the journal
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Hands a progress message (`message`, about `key`: a master and dataset) to the delivery
    // thread, replacing one about the same key not yet sent. Sent after the notifications
    // owed, never journaled, and dropped when no broker takes it in time: a newer one says
    // more. Nothing without a progress topic.
    void post_progress(const std::string& key, std::string message);
    bool sends_progress() const {
        return !settings_.bootstrap_servers.empty() && !settings_.progress_topic.empty();
    }

    // Queues a notification (its JSON message, what it is, the master file it is for, and
    // whether that file's close waits for it) behind those still owed. A switched-off outbox
    // drops it at once.
    void post(std::string message, std::string what, std::string file = "",
              bool close_waits = false);
    // Waits until no notification is owed that `filepath` (or, with "", anyone) waits for, or
    // an attempt to deliver has failed meanwhile (at most three times timeout_ms). Returns
    // whether none is owed.
    [[nodiscard]] bool wait_for(const std::string& filepath);
    // As wait_for(), but never past `deadline`: a close's waits share one bound.
    [[nodiscard]] bool wait_for(const std::string& filepath,
                                std::chrono::steady_clock::time_point deadline);
    // The bound of one wait_for(): three notification time-outs, as long as one delivery
    // attempt can take (a broker to answer, then the delivery).
    std::chrono::milliseconds wait_bound() const {
        return std::chrono::milliseconds(3 * settings_.timeout_ms);
    }
    // Records every notification posted and delivered in `journal`, so that those still owed
    // survive a restart; the journal is emptied whenever nothing is owed. Call before the
    // first post.
    void keep_journal(JournalFile journal);
    // Puts the journal's records on disk, the deliveries since the last call among them, or
    // cuts it back to its header once nothing is owed: from the request loop, which alone
    // writes the journal. Throws Error.
    void write_journal();
    // Puts the journal's records on disk, then gives it the name `path`, replacing the
    // journal there: the one it was written to take the place of. Throws Error.
    void write_journal_as(const std::string& path);
    // Whether a notification that the close of `filepath` waits for is still owed.
    bool holds(const std::string& filepath) const;

    std::size_t size() const;
    // Notifications delivered, and dropped for good, since the start.
    std::uint64_t delivered() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return delivered_;
    }
    std::uint64_t dropped() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return dropped_count_;
    }
    // What the owed notifications take in memory, about.
    std::uint64_t owed_bytes() const;
    // What each owed notification is, oldest first.
    std::vector<std::string> owed() const;
    // Why the last attempt failed.
    std::string last_error() const;
    // The one-line error of a notification `what` that is still owed.
    std::string why_owed(const std::string& what) const;
    // Notifications dropped for good since the last call: (file it was held by or named for,
    // the error).
    std::vector<std::pair<std::string, std::string>> take_dropped();
    const VeskSettings& settings() const { return settings_; }

  private:
    struct Owed {
        std::uint64_t number;
        std::string message;
        std::string what;
        std::string file;
        bool close_waits;
    };
    class Sender;

    void run();
    void write_journal_locked();

    VeskSettings settings_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Owed> owed_;
    std::uint64_t posted_ = 0;
    std::string last_error_;
    std::uint64_t failed_attempts_ = 0;
    std::uint64_t delivered_ = 0;
    std::uint64_t dropped_count_ = 0;
    std::uint64_t owed_bytes_ = 0;
    std::optional<JournalFile> journal_;
    // Notifications delivered or dropped that the journal does not record yet.
    std::vector<std::uint64_t> sent_;
    std::vector<std::pair<std::string, std::string>> dropped_;
    // Progress messages not yet sent, at most one per key, in the order their keys came.
    std::deque<std::pair<std::string, std::string>> progress_;
    bool stopping_ = false;
    std::thread thread_;  // last: started once everything it uses exists
};

}  // namespace scrivell
