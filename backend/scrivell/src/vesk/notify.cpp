#include <librdkafka/rdkafkacpp.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <scrivell/fail_points.hpp>
#include <string>
#include <zelt/storageParser.hpp>

#include "../Outbox.hpp"

namespace scrivell {

namespace {

constexpr const char* topic = "Calyxo1";

// librdkafka's log goes to the "kafka" logger, which the service holds at warn.
class LogEvents : public RdKafka::EventCb {
  public:
    void event_cb(RdKafka::Event& event) override {
        if (event.type() != RdKafka::Event::EVENT_LOG &&
            event.type() != RdKafka::Event::EVENT_ERROR) {
            return;
        }
        auto logger = spdlog::get("kafka");
        if (!logger) return;
        spdlog::level::level_enum level = spdlog::level::err;
        if (event.type() == RdKafka::Event::EVENT_LOG) {
            const int severity = event.severity();
            level = severity <= 3   ? spdlog::level::err
                    : severity == 4 ? spdlog::level::warn
                    : severity <= 6 ? spdlog::level::info
                                    : spdlog::level::debug;
        }
        logger->log(level, "{} {}", event.fac(), event.str());
    }
};

void set(RdKafka::Conf& conf, const std::string& name, const std::string& value) {
    std::string reason;
    if (conf.set(name, value, reason) != RdKafka::Conf::CONF_OK) {
        throw NotifyError("notification: Kafka setting " + name + ": " + reason);
    }
}

}  // namespace

VeskSettings VeskSettings::from(const zelt::storageParser& config) {
    // Without any configuration file there are no brokers to name: the built-in ones are
    // placeholders that never resolve, so notifications are off.
    const bool no_file = config.source() == zelt::storageParser::built_in().source();
    VeskSettings settings;
    settings.bootstrap_servers =
        no_file ? std::string()
                : config.get_or("vesk", "bootstrap_servers", zelt::default_bootstrap_servers);
    settings.timeout_ms =
        static_cast<int>(config.number_or("vesk", "timeout_ms", zelt::default_vesk_timeout_ms));
    settings.progress_topic = config.get_or("vesk", "progress_topic", "");
    settings.progress_frames = config.number_or("vesk", "progress_frames", 100);
    if (settings.progress_frames < 1) {
        throw Error("configuration " + config.source() + ": [vesk] progress_frames " +
                    std::to_string(settings.progress_frames) + " is less than 1");
    }
    const long long progress_ms = config.number_or("vesk", "progress_ms", 200);
    if (progress_ms < 10 || progress_ms > 3600 * 1000) {
        throw Error("configuration " + config.source() + ": [vesk] progress_ms " +
                    std::to_string(progress_ms) + " is not from 10 to 3600000");
    }
    settings.progress_ms = static_cast<int>(progress_ms);
    return settings;
}

// One long-lived producer, used by the delivery thread alone. Made anew after an error that
// may have left it unusable.
class Outbox::Sender {
    // What marks a progress message's delivery report.
    static inline char progress_tag = 0;

  public:
    explicit Sender(const VeskSettings& settings) : settings_(settings) {}

    // Hands `message` to a broker and waits, at most timeout_ms, for its delivery report.
    // Returns the error, or ERR_NO_ERROR; `reason` is librdkafka's word for it.
    RdKafka::ErrorCode send(const std::string& message, std::string& reason) {
        if (!producer_) make();
        delivery_.reset();
        const RdKafka::ErrorCode queued = producer_->produce(
            topic, /*partition=*/0, RdKafka::Producer::RK_MSG_COPY,
            const_cast<char*>(message.data()), message.size(), /*key=*/nullptr, /*key_len=*/0,
            /*timestamp=*/0, /*msg_opaque=*/nullptr);
        if (queued != RdKafka::ERR_NO_ERROR) {
            reason = RdKafka::err2str(queued);
            return queued;
        }
        producer_->flush(settings_.timeout_ms);
        RdKafka::ErrorCode result = RdKafka::ERR_NO_ERROR;
        std::string reported;
        if (!delivery_.reported(result, reported)) {
            // No broker took it in time: what the producer still holds is dropped, so that the
            // next attempt does not send it twice.
            producer_->purge(RdKafka::Producer::PURGE_QUEUE | RdKafka::Producer::PURGE_INFLIGHT);
            producer_->poll(0);
            result = RdKafka::ERR__MSG_TIMED_OUT;
            reported = RdKafka::err2str(result);
        }
        reason = reported;
        return result;
    }

    // Hands a progress message to the producer and goes on: its delivery is not waited for,
    // and one no broker takes within timeout_ms is dropped by the producer.
    void send_progress(const std::string& message) {
        if (!producer_) make();
        const RdKafka::ErrorCode queued = producer_->produce(
            settings_.progress_topic, RdKafka::Topic::PARTITION_UA, RdKafka::Producer::RK_MSG_COPY,
            const_cast<char*>(message.data()), message.size(), /*key=*/nullptr, /*key_len=*/0,
            /*timestamp=*/0, /*msg_opaque=*/&progress_tag);
        if (queued != RdKafka::ERR_NO_ERROR) {
            spdlog::debug("progress message dropped: {}", RdKafka::err2str(queued));
        }
        producer_->poll(0);
    }

    void reset() { producer_.reset(); }
    // Makes the producer now, so that it has reached a broker before the first message.
    void prepare() {
        if (producer_) return;
        make();
        RdKafka::Metadata* raw = nullptr;
        const RdKafka::ErrorCode found =
            producer_->metadata(/*all_topics=*/false, nullptr, &raw, settings_.timeout_ms);
        std::unique_ptr<RdKafka::Metadata> metadata(raw);
        (void)found;  // an outage now is met by the first send
    }

  private:
    // Remembers the delivery result of the record in flight.
    class Delivery : public RdKafka::DeliveryReportCb {
      public:
        void dr_cb(RdKafka::Message& message) override {
            if (message.msg_opaque() == &progress_tag) return;  // never waited for
            std::lock_guard<std::mutex> lock(mutex_);
            error_ = message.err();
            reason_ = message.errstr();
            reported_ = true;
        }
        void reset() {
            std::lock_guard<std::mutex> lock(mutex_);
            reported_ = false;
        }
        bool reported(RdKafka::ErrorCode& error, std::string& reason) {
            std::lock_guard<std::mutex> lock(mutex_);
            error = error_;
            reason = reason_;
            return reported_;
        }

      private:
        std::mutex mutex_;
        bool reported_ = false;
        RdKafka::ErrorCode error_ = RdKafka::ERR_NO_ERROR;
        std::string reason_;
    };

    void make() {
        std::unique_ptr<RdKafka::Conf> conf(RdKafka::Conf::create(RdKafka::Conf::CONF_GLOBAL));
        std::string reason;
        set(*conf, "bootstrap.servers", settings_.bootstrap_servers);
        set(*conf, "message.timeout.ms", std::to_string(settings_.timeout_ms));
        set(*conf, "linger.ms", "0");
        if (conf->set("event_cb", static_cast<RdKafka::EventCb*>(&log_events_), reason) !=
                RdKafka::Conf::CONF_OK ||
            conf->set("dr_cb", static_cast<RdKafka::DeliveryReportCb*>(&delivery_), reason) !=
                RdKafka::Conf::CONF_OK) {
            throw NotifyError("notification producer: " + reason);
        }
        producer_.reset(RdKafka::Producer::create(conf.get(), reason));
        if (!producer_) throw NotifyError("notification producer: " + reason);
    }

    const VeskSettings& settings_;
    // The callbacks outlive the producer that calls them.
    LogEvents log_events_;
    Delivery delivery_;
    std::unique_ptr<RdKafka::Producer> producer_;
};

namespace {

// Errors no retry mends: the notification is dropped rather than hold every later one.
bool is_permanent(RdKafka::ErrorCode error) {
    switch (error) {
        case RdKafka::ERR_MSG_SIZE_TOO_LARGE:
        case RdKafka::ERR_RECORD_LIST_TOO_LARGE:
        case RdKafka::ERR_INVALID_MSG:
        case RdKafka::ERR__INVALID_ARG:
        case RdKafka::ERR_TOPIC_EXCEPTION:
        case RdKafka::ERR_TOPIC_AUTHORIZATION_FAILED:
        case RdKafka::ERR_CLUSTER_AUTHORIZATION_FAILED:
        case RdKafka::ERR__UNKNOWN_TOPIC:
            return true;
        default:
            return false;
    }
}

}  // namespace

Outbox::Outbox(VeskSettings settings) : settings_(std::move(settings)) {
    if (!settings_.bootstrap_servers.empty()) thread_ = std::thread([this] { run(); });
}

Outbox::~Outbox() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Outbox::keep_journal(JournalFile journal) {
    std::lock_guard<std::mutex> lock(mutex_);
    journal_.emplace(std::move(journal));
}

void Outbox::write_journal() {
    std::lock_guard<std::mutex> lock(mutex_);
    write_journal_locked();
}

void Outbox::write_journal_locked() {
    if (!journal_) return;
    for (const std::uint64_t number : std::exchange(sent_, {})) {
        journal_->add(zelt::Map{{"op", "sent"}, {"n", static_cast<std::int64_t>(number)}});
    }
    // Nothing owed: the journal need not hold what was sent.
    if (owed_.empty()) {
        if (journal_->holds_records()) journal_->truncate_to_header();
        return;
    }
    journal_->write();
}

void Outbox::write_journal_as(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!journal_) return;
    write_journal_locked();
    journal_->rename_to(path);
}

void Outbox::post(std::string message, std::string what, std::string file, bool close_waits) {
    if (settings_.bootstrap_servers.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uint64_t number = ++posted_;
        if (journal_) {
            journal_->add(zelt::Map{{"op", "post"},
                                    {"n", static_cast<std::int64_t>(number)},
                                    {"message", message},
                                    {"what", what},
                                    {"held_by", close_waits ? file : std::string()},
                                    {"file", file}});
        }
        owed_bytes_ += message.size() + what.size() + file.size() + sizeof(Owed);
        owed_.push_back(
            {number, std::move(message), std::move(what), std::move(file), close_waits});
    }
    changed_.notify_all();
}

void Outbox::post_progress(const std::string& key, std::string message) {
    if (!sends_progress()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto same = std::find_if(progress_.begin(), progress_.end(),
                                       [&](const auto& waiting) { return waiting.first == key; });
        if (same != progress_.end()) {
            same->second = std::move(message);
        } else {
            progress_.emplace_back(key, std::move(message));
        }
    }
    changed_.notify_all();
}

void Outbox::run() {
    Sender sender(settings_);
    try {
        sender.prepare();
    } catch (const NotifyError& error) {
        spdlog::error("{}", error.what());
    }
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        changed_.wait(lock, [&] { return stopping_ || !owed_.empty() || !progress_.empty(); });
        if (stopping_) return;
        if (owed_.empty()) {
            // Progress only once no notification is owed: it never delays one.
            auto progress = std::exchange(progress_, {});
            lock.unlock();
            delay_at(DelayPoint::Delivery);
            try {
                for (const auto& [key, message] : progress) sender.send_progress(message);
            } catch (const NotifyError& error) {
                spdlog::debug("progress messages dropped: {}", error.what());
            }
            lock.lock();
            continue;
        }
        const Owed next = owed_.front();
        lock.unlock();
        delay_at(DelayPoint::Delivery);
        std::string reason;
        RdKafka::ErrorCode result = RdKafka::ERR__FAIL;
        try {
            result = sender.send(next.message, reason);
        } catch (const NotifyError& error) {
            reason = error.what();
        }
        lock.lock();
        if (result == RdKafka::ERR_NO_ERROR || is_permanent(result)) {
            if (result == RdKafka::ERR_NO_ERROR) {
                spdlog::info("notification {} delivered", next.what);
                ++delivered_;
            } else {
                const std::string error = "notification " + next.what +
                                          " was refused for good and dropped: " + reason +
                                          " (topic " + topic + ")";
                spdlog::error("{}", error);
                dropped_.emplace_back(next.file, error);
                ++dropped_count_;
            }
            // The request loop journals it as sent: it alone writes the journal.
            if (journal_) sent_.push_back(next.number);
            owed_bytes_ -= next.message.size() + next.what.size() + next.file.size() + sizeof(Owed);
            owed_.pop_front();
            changed_.notify_all();
            continue;
        }
        // Retrying is the design here: the message stays first in line, and the next attempt
        // waits for a window to pass, unless the service stops meanwhile.
        // One wording for an outage, whether the flush or the message's own time-out ended the
        // attempt first.
        last_error_ = "notification " + next.what + ": no Kafka broker of \"" +
                      settings_.bootstrap_servers + "\" took it within " +
                      std::to_string(settings_.timeout_ms) + " ms (" + reason + ")";
        ++failed_attempts_;
        sender.reset();
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::milliseconds(settings_.timeout_ms),
                          [&] { return stopping_; });
        if (stopping_) return;
    }
}

bool Outbox::wait_for(const std::string& filepath) {
    return wait_for(filepath, std::chrono::steady_clock::now() + wait_bound());
}

bool Outbox::wait_for(const std::string& filepath, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto none_held = [&] {
        if (filepath.empty()) return owed_.empty();
        return std::none_of(owed_.begin(), owed_.end(), [&](const Owed& owed) {
            return owed.close_waits && owed.file == filepath;
        });
    };
    // Until they are delivered, or one attempt made meanwhile has failed: an outage costs a
    // waiting close one attempt, as long as one attempt takes (a broker to answer, then the
    // delivery), and no more.
    const std::uint64_t failed_before = failed_attempts_;
    changed_.wait_until(lock, deadline,
                        [&] { return none_held() || failed_attempts_ > failed_before; });
    return none_held();
}

bool Outbox::holds(const std::string& filepath) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(owed_.begin(), owed_.end(),
                       [&](const Owed& owed) { return owed.close_waits && owed.file == filepath; });
}

std::uint64_t Outbox::owed_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return owed_bytes_;
}

std::size_t Outbox::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return owed_.size();
}

std::string Outbox::last_error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_error_;
}

std::string Outbox::why_owed(const std::string& what) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string prefix = "notification " + what;
    // The attempt was this notification's own: its error says why.
    if (last_error_.rfind(prefix, 0) == 0)
        return last_error_ + "; it is sent when a broker answers";
    return prefix + ": queued behind " + std::to_string(owed_.empty() ? 0 : owed_.size() - 1) +
           " owed notifications, sent when a broker answers; the last attempt: " +
           (last_error_.empty() ? std::string("none yet") : last_error_);
}

std::vector<std::string> Outbox::owed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const Owed& owed : owed_) out.push_back(owed.what);
    return out;
}

std::vector<std::pair<std::string, std::string>> Outbox::take_dropped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(dropped_, {});
}

}  // namespace scrivell
