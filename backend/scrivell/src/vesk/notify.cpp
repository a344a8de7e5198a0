#include <librdkafka/rdkafkacpp.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <scrivell/Outbox.hpp>
#include <scrivell/Scrivell.hpp>
#include <string>
#include <zelt/storageParser.hpp>

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

// Remembers the delivery result of the one record a producer sends.
class Delivery : public RdKafka::DeliveryReportCb {
  public:
    void dr_cb(RdKafka::Message& message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = message.err();
        reason_ = message.errstr();
        reported_ = true;
    }
    bool failed(std::string& reason) {
        std::lock_guard<std::mutex> lock(mutex_);
        reason = reason_;
        return reported_ && error_ != RdKafka::ERR_NO_ERROR;
    }

  private:
    std::mutex mutex_;
    bool reported_ = false;
    RdKafka::ErrorCode error_ = RdKafka::ERR_NO_ERROR;
    std::string reason_;
};

void set(RdKafka::Conf& conf, const std::string& name, const std::string& value) {
    std::string reason;
    if (conf.set(name, value, reason) != RdKafka::Conf::CONF_OK) {
        throw NotifyError("notification: Kafka setting " + name + ": " + reason);
    }
}

}  // namespace

void deliver_notification(const VeskSettings& vesk, const std::string& dataprojs0,
                          const std::string& what) {
    if (vesk.bootstrap_servers.empty()) return;  // notifications are switched off

    // The callbacks outlive the producer that calls them.
    LogEvents log_events;
    Delivery delivery;
    std::unique_ptr<RdKafka::Conf> conf(RdKafka::Conf::create(RdKafka::Conf::CONF_GLOBAL));
    std::string reason;
    set(*conf, "bootstrap.servers", vesk.bootstrap_servers);
    set(*conf, "message.timeout.ms", std::to_string(vesk.timeout_ms));
    set(*conf, "linger.ms", "0");
    if (conf->set("event_cb", static_cast<RdKafka::EventCb*>(&log_events), reason) !=
            RdKafka::Conf::CONF_OK ||
        conf->set("dr_cb", static_cast<RdKafka::DeliveryReportCb*>(&delivery), reason) !=
            RdKafka::Conf::CONF_OK) {
        throw NotifyError("notification " + what + ": " + reason);
    }
    std::unique_ptr<RdKafka::Producer> producer(RdKafka::Producer::create(conf.get(), reason));
    if (!producer) throw NotifyError("notification " + what + ": create producer: " + reason);

    // librdkafka makes a producer whether or not a broker answers: ask one for metadata to
    // know that the notification can reach somebody.
    RdKafka::Metadata* raw_metadata = nullptr;
    const RdKafka::ErrorCode found =
        producer->metadata(/*all_topics=*/false, nullptr, &raw_metadata, vesk.timeout_ms);
    std::unique_ptr<RdKafka::Metadata> metadata(raw_metadata);
    if (found != RdKafka::ERR_NO_ERROR) {
        throw NotifyError("notification " + what + ": no Kafka broker of \"" +
                          vesk.bootstrap_servers + "\" answered within " +
                          std::to_string(vesk.timeout_ms) + " ms (" + RdKafka::err2str(found) +
                          ")");
    }
    const RdKafka::ErrorCode sent = producer->produce(
        topic, /*partition=*/0, RdKafka::Producer::RK_MSG_COPY,
        const_cast<char*>(dataprojs0.data()), dataprojs0.size(), /*key=*/nullptr, /*key_len=*/0,
        /*timestamp=*/0, /*msg_opaque=*/nullptr);
    if (sent != RdKafka::ERR_NO_ERROR) {
        throw NotifyError("notification " + what + ": send to topic " + topic + ": " +
                          RdKafka::err2str(sent));
    }
    // A producer drops what it still queues when it is released: flush first.
    producer->flush(vesk.timeout_ms);
    if (producer->outq_len() > 0) {
        throw NotifyError("notification " + what + ": not delivered within " +
                          std::to_string(vesk.timeout_ms) + " ms");
    }
    if (delivery.failed(reason)) {
        throw NotifyError("notification " + what + ": delivery failed: " + reason);
    }
}

namespace {

void publish(const char* tag, const zelt::Value& identify, const zelt::Value& CTType,
             const std::string& filepath, const std::string& datasetpath,
             const VeskSettings& vesk) {
    const std::string dataprojs0 = notification_json(tag, identify, CTType, filepath, datasetpath);
    deliver_notification(vesk, dataprojs0, std::string(tag) + " for \"" + filepath + "\"");
}

}  // namespace

VeskSettings VeskSettings::from(const zelt::storageParser& config) {
    return {
        config.get_or("vesk", "bootstrap_servers", zelt::default_bootstrap_servers),
        static_cast<int>(config.number_or("vesk", "timeout_ms", zelt::default_vesk_timeout_ms))};
}

bool Outbox::post(std::string message, std::string what, std::string held_by) {
    if (settings_.bootstrap_servers.empty()) return true;
    const std::uint64_t number = ++posted_;
    if (journal_) {
        journal_->add(zelt::Map{{"op", "post"},
                                {"n", static_cast<std::int64_t>(number)},
                                {"message", message},
                                {"what", what},
                                {"held_by", held_by}});
    }
    owed_.push_back({number, std::move(message), std::move(what), std::move(held_by)});
    deliver();
    return owed_.empty() || owed_.front().number > number;
}

void Outbox::deliver() {
    if (owed_.empty() || std::chrono::steady_clock::now() < quiet_until_) return;
    while (!owed_.empty()) {
        try {
            deliver_notification(settings_, owed_.front().message, owed_.front().what);
        } catch (const NotifyError& error) {
            // Retrying is the design here: the message stays first in line, and the next
            // attempt waits for a window to pass.
            last_error_ = error.what();
            quiet_until_ =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(settings_.timeout_ms);
            return;
        }
        spdlog::info("notification {} delivered", owed_.front().what);
        if (journal_) {
            journal_->add(
                zelt::Map{{"op", "sent"}, {"n", static_cast<std::int64_t>(owed_.front().number)}});
        }
        owed_.pop_front();
    }
    // Nothing owed: the journal need not hold what was sent.
    if (journal_) journal_->truncate_to_header();
}

bool Outbox::holds(const std::string& filepath) const {
    for (const Owed& owed : owed_) {
        if (owed.held_by == filepath) return true;
    }
    return false;
}

std::string Outbox::why_owed(const std::string& what) const {
    const std::string prefix = "notification " + what;
    // The attempt was this notification's own: its error says why.
    if (last_error_.rfind(prefix, 0) == 0)
        return last_error_ + "; it is sent when a broker answers";
    return prefix + ": queued behind " + std::to_string(owed_.size() - 1) +
           " owed notifications, sent when a broker answers; the last attempt: " + last_error_;
}

std::vector<std::string> Outbox::owed() const {
    std::vector<std::string> out;
    for (const Owed& owed : owed_) out.push_back(owed.what);
    return out;
}

void send2vesk(const zelt::Value& identify, const zelt::Value& CTType, const std::string& filepath,
               const std::string& datasetpath, const VeskSettings& settings) {
    publish("scan_run", identify, CTType, filepath, datasetpath, settings);
}

void send2vesk_stop(const zelt::Value& identify, const zelt::Value& CTType,
                    const std::string& filepath, const std::string& datasetpath,
                    const VeskSettings& settings) {
    publish("scan_stop", identify, CTType, filepath, datasetpath, settings);
}

}  // namespace scrivell
