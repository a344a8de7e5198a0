#include "Corvane.hpp"

#include <spdlog/spdlog.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <scrivell/fail_points.hpp>
#include <zelt/storageParser.hpp>

namespace brennic {

namespace {

// An entry of another section that decides who may connect or where data goes stops the
// start: ignored, it would leave the service open to every client, or write elsewhere than
// its operator meant. Others are named in a WARNING once the service is up.
void refuse_misplaced_entries(const zelt::storageParser& config) {
    const auto decisive = [](const std::string& key) {
        return key.rfind("curve_", 0) == 0 || key.rfind("local_", 0) == 0 || key == "data_roots" ||
               key == "journal_dir" || key == "metrics";
    };
    for (const std::string& unknown : config.unknown_entries(zelt::known_entries())) {
        // "[section] key"
        const std::size_t end = unknown.find("] ");
        if (unknown.empty() || unknown[0] != '[' || end == std::string::npos) continue;
        const std::string section = unknown.substr(1, end - 1);
        const std::string key = unknown.substr(end + 2);
        if (!decisive(key)) continue;
        for (const auto& [home, known] : zelt::known_entries()) {
            if (known != key || home == section) continue;
            throw zelt::Error("configuration \"" + config.source() + "\": " + unknown +
                              " belongs in section [" + home + "]; in [" + section +
                              "] it would be ignored. Move it there");
        }
    }
}

zelt::WorkerOptions router_options(const zelt::storageParser& config,
                                   std::shared_ptr<CurveClients>& curve_clients) {
    refuse_misplaced_entries(config);
    zelt::WorkerOptions options;
    curve_clients = serve_with_curve(config, options);
    // Large enough for a batch of detector frames; larger messages are refused by ZeroMQ.
    options.max_message_bytes =
        config.number_or("corvane", "max_message_bytes", zelt::default_max_message_bytes);
    // A request is journaled as one record, and a record holds less than 2 GiB: a larger
    // one would hide itself and every record after it from a restart.
    constexpr long long most = (1LL << 31) - (1LL << 20);
    if (options.max_message_bytes < 0 || options.max_message_bytes > most) {
        spdlog::warn("max_message_bytes {} is more than a journal record holds; {} it is",
                     options.max_message_bytes, most);
        options.max_message_bytes = most;
    }
    // Bounds the requests queued while a block is written: fast clients are slowed by the
    // socket instead of the service growing without bound.
    options.receive_hwm = static_cast<int>(config.number_or("corvane", "receive_hwm", 64));
    return options;
}

// The text under `key` of a request that is a map, if there is one.
const std::string* text_of(const zelt::Value& request, const char* key) {
    const auto* record = request.as<zelt::Map>();
    const zelt::Value* value = record ? zelt::find(*record, key) : nullptr;
    return value ? value->as<std::string>() : nullptr;
}

const std::string* filepath_of(const zelt::Value& request) { return text_of(request, "filepath"); }

// A client's ZeroMQ identity as text, for the journal.
std::string client_id(const std::string& identity) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : identity) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

// What the ERROR line and the error reply say of a failed request: its type and its file.
std::string describe_request(const zelt::Value& request) {
    const std::string* type = text_of(request, "type");
    std::string out = type ? *type : "request";
    if (const std::string* filepath = filepath_of(request)) out += " \"" + *filepath + "\"";
    return out;
}

const zelt::Map ok_reply{{"ret", "ok"}};

}  // namespace

Corvane::Corvane() : Corvane(zelt::storageParser()) {}

Corvane::Corvane(const zelt::storageParser& config)
    : ip(config.get("corvane", "ip")),
      port(config.get("corvane", "port")),
      worker(zelt::ROUTER, ip, port, false, router_options(config, curve_clients_)),
      scrivell(scrivell::Settings::from(config)) {
    if (const std::string points = scrivell::fail_points_in_force(); !points.empty()) {
        spdlog::warn("BRENNIC_FAIL_POINTS in force, a test build's: {}", points);
    }
    const std::vector<std::string> unknown = config.unknown_entries(zelt::known_entries());
    if (!unknown.empty()) {
        std::string names;
        for (const auto& name : unknown) names += (names.empty() ? "" : ", ") + name;
        spdlog::warn("configuration \"{}\": unknown entries ignored: {}", config.source(), names);
    }
    if (const std::string metrics = config.get_or("corvane", "metrics", ""); !metrics.empty()) {
        metrics_ =
            std::make_unique<MetricsEndpoint>(MetricsAddress::parse(metrics), BRENNIC_VERSION);
        spdlog::info("metrics at http://{}/metrics", metrics);
    }
    const scrivell::VeskSettings& vesk = scrivell.notification_settings();
    if (config.source() == zelt::storageParser::built_in().source()) {
        spdlog::warn(
            "no configuration: ZELT_CONFIG is not set and {} does not exist; serving with the "
            "built-in defaults, without notifications (a sample is installed as "
            "zelt.ini.sample beside where the configuration goes)",
            zelt::system_config_path);
    } else if (vesk.bootstrap_servers.empty()) {
        spdlog::warn("vesk bootstrap_servers is empty: scan notifications are switched off");
    }
    if (!scrivell.journaling()) {
        spdlog::warn(
            "journal_dir is not set: a crash loses the values and block rows the "
            "service holds for open files");
    }
    spdlog::info(
        "brennic {} serving on {}; configuration {}; {}; {}; journal {}; at most {} open "
        "files, {} MiB of appended values",
        BRENNIC_VERSION, worker.endpoint(), config.source(),
        curve_clients_ ? "CURVE on, " + std::to_string(curve_clients_->size()) +
                             " client keys in \"" + curve_clients_->directory() + "\""
                       : std::string("CURVE off: any client that reaches the port may write"),
        vesk.bootstrap_servers.empty()
            ? std::string("notifications off")
            : "notifications to " + vesk.bootstrap_servers + " (timeout " +
                  std::to_string(vesk.timeout_ms) + " ms)",
        scrivell.journaling() ? "in \"" + scrivell.journal_dir() + "\"" : std::string("off"),
        scrivell.limits().max_open_files, scrivell.limits().memory_limit_bytes >> 20);
    // Files open when the service last ended are open again before the first request.
    // Failures no waiting close had been told of before the restart come back with them.
    scrivell.restore();
    const LocalSettings local = LocalSettings::from(config, port);
    if (!local.socket_path.empty()) {
        try {
            local_ = std::make_unique<LocalRings>(local);
            worker.set_slot_resolver(
                [this](const std::string& typestr, std::vector<std::uint64_t> shape,
                       const std::string& token, std::uint64_t slot, std::uint64_t nbytes) {
                    return local_->resolve(typestr, std::move(shape), token, slot, nbytes,
                                           current_identity_);
                });
            spdlog::info("local clients attach at {}", local_->socket_path());
        } catch (const zelt::Error& error) {
            spdlog::warn("no local path for clients on this host: {}", error.what());
        }
    }
}

void Corvane::send_releases() {
    if (!local_) return;
    for (const auto& [identity, message] : local_->take_releases()) {
        worker.send_dumps_id(identity, message);
    }
}

void Corvane::start() {
    // A short wait between checks lets a signal stop the loop even when no client is sending.
    constexpr std::chrono::milliseconds check_stop{200};
    // Under systemd (Type=notify) the unit is started once the worker is bound; elsewhere
    // sd_notify does nothing.
    sd_notifyf(0, "READY=1\nSTATUS=serving on %s", worker.endpoint().c_str());
    while (!stop_requested_.load()) {
        auto identity = worker.recv(std::chrono::milliseconds(0));
        if (!identity) {
            // Before waiting: what the requests served so far changed is on disk, so that a
            // run of non-blocking requests costs one journal write. Rows still being
            // compressed are written then, and the slots they held go back to their clients,
            // which may be waiting for one.
            write_journals();
            try {
                send_releases();
            } catch (const std::exception& error) {
                spdlog::error("releases: {}", error.what());
            }
            identity = worker.recv(check_stop);
        }
        // Nothing that fails here may end the service without its orderly close of the files.
        try {
            if (identity) {
                serve(*identity);
                send_releases();  // the request's arrays are gone: their slots go back
            } else if (local_) {
                local_->drop_departed();  // idle: rings of clients that left go
            }
            // On a timer, not only when idle: a steady stream of requests holds nothing back
            // for ever.
            error_lines_.flush();
            scrivell.settle_notifications();
            scrivell.tell_progress_if_due();
            publish_metrics();
            if (reload_requested_.exchange(false) && curve_clients_) curve_clients_->reload();
        } catch (const std::exception& error) {
            spdlog::error("{}: {}", identity ? "reply or releases" : "idle work", error.what());
        }
    }
    sd_notify(0, "STOPPING=1\nSTATUS=closing every open file");
    error_lines_.flush(/*all=*/true);
    close_all_files();
}

void Corvane::serve(const std::string& identity) {
    zelt::Value request;
    bool block = false;
    try {
        current_identity_ = identity;
        request = worker.recv_loads();
        const auto* record = request.as<zelt::Map>();
        if (!record) {
            throw zelt::Error(std::string("decode: the request is not a map (") +
                              request.kind_name() + ")");
        }
        if (spdlog::should_log(spdlog::level::debug)) {
            spdlog::debug("request {}", zelt::to_text(request));
        }
        const zelt::Value* block_value = zelt::find(*record, "block");
        block = block_value && zelt::is_true(*block_value);
        const std::string* type = text_of(request, "type");
        const bool counted = note_seq(identity, *record);
        if (type && *type == "status") {
            if (metrics_) request_counts_.count(request, true);
            // Changes nothing: only a waiting client hears the answer.
            if (block) {
                write_journals();
                reply(identity, request, status());
            }
            return;
        }
        scrivell.process(*record);
        if (metrics_) request_counts_.count(request, true);
        // An open's number counts once the file is open.
        if (!counted && type && *type == "open") (void)note_seq(identity, *record);
    } catch (const std::exception& error) {
        // A failed request is reported and the service serves on: the other open files and
        // the data pending for them must not be lost to one bad request.
        // One line, of a bounded size: the reply, the log and the record of failures hold it.
        // Named once: an error that already starts with the request's type and file keeps it.
        if (metrics_) request_counts_.count(request, false);
        const std::string described = describe_request(request);
        const std::string what = error.what();
        std::string message = zelt::printable(
            what.rfind(described + ": ", 0) == 0 ? what : described + ": " + what, max_error_bytes);
        const std::string* failed_file = filepath_of(request);
        error_lines_.log(failed_file ? *failed_file : std::string(), message);
        // A payload that cannot be decoded gets the error reply: its "block" cannot be read.
        if (block || !request.is<zelt::Map>()) {
            write_journals();  // what the request did before it failed stays done
            reply(identity, request, zelt::Map{{"ret", "error"}, {"error", message}});
        } else if (const std::string* filepath = filepath_of(request)) {
            // Nobody heard of it: the next waiting close of this file will say so, also after
            // a restart.
            try {
                scrivell.note_failure(*filepath, message);
            } catch (const std::exception& unjournaled) {
                spdlog::error("journal: {}", unjournaled.what());
            }
        }
        return;
    }
    if (!block) return;
    zelt::Map answer = reply_to(request);
    try {
        // A reply promises that the request survives a crash.
        scrivell.write_journals();
    } catch (const std::exception& error) {
        const std::string message =
            describe_request(request) +
            ": done, but not journaled, so a crash would lose it: " + error.what();
        spdlog::error("{}", message);
        answer = zelt::Map{{"ret", "error"}, {"error", message}};
    }
    reply(identity, request, std::move(answer));
}

void Corvane::reply(const std::string& identity, const zelt::Value& request, zelt::Map answer) {
    // A numbered request's number comes back with its reply, so that a client can tell its
    // own reply from any other.
    const auto* record = request.as<zelt::Map>();
    const zelt::Value* seq = record ? zelt::find(*record, "seq") : nullptr;
    const bool numbered = seq && (seq->is<std::int64_t>() || seq->is<std::uint64_t>());
    if (numbered) answer.emplace_back("seq", *seq);
    try {
        worker.send_dumps_id(identity, answer);
    } catch (const zelt::Error& error) {
        // Refused before anything left (larger than max_message_bytes): its own client hears
        // so, in a reply that fits.
        const std::string message = zelt::printable(
            describe_request(request) + ": the reply could not be sent: " + error.what(),
            max_error_bytes);
        spdlog::error("{}", message);
        zelt::Map short_answer{{"ret", "error"}, {"error", message}};
        if (numbered) short_answer.emplace_back("seq", *seq);
        worker.send_dumps_id(identity, short_answer);
    }
}

bool Corvane::note_seq(const std::string& identity, const zelt::Map& record) {
    const zelt::Value* seq = zelt::find(record, "seq");
    if (!seq) return true;  // nothing to count
    const zelt::Value* path = zelt::find(record, "filepath");
    const std::string* filepath = path ? path->as<std::string>() : nullptr;
    const std::int64_t* number = seq->as<std::int64_t>();
    if (!number || !filepath || *number < 1) return true;
    if (!scrivell.is_open(*filepath)) return false;
    const auto missing = scrivell.note_seq(*filepath, client_id(identity), *number);
    if (missing) {
        spdlog::error("\"{}\": requests {}-{} of a client never reached the service", *filepath,
                      missing->first, missing->second);
    }
    return true;
}

void Corvane::write_journals() {
    try {
        scrivell.write_journals();
    } catch (const std::exception& error) {
        spdlog::error("journal: {}", error.what());
    }
}

zelt::Map Corvane::status() const {
    zelt::Map reply{{"ret", "ok"}, {"version", BRENNIC_VERSION}};
    for (auto& entry : scrivell.status()) reply.push_back(std::move(entry));
    reply.emplace_back("failed_requests",
                       static_cast<std::int64_t>(scrivell.unreported_failures()));
    return reply;
}

zelt::Map Corvane::reply_to(const zelt::Value& request) {
    const std::string* name = text_of(request, "type");
    std::string report;
    if (name && *name == "close") {
        const std::string filepath = *filepath_of(request);
        report = scrivell.take_failure_report(filepath);
        if (!report.empty()) report = "close \"" + filepath + "\": done, but " + report;
    } else if (name && *name == "closeAll") {
        for (const std::string& one : scrivell.take_failure_reports()) {
            report += (report.empty() ? "closeAll: done, but " : "; ") + one;
        }
    }
    if (report.empty()) return ok_reply;
    return zelt::Map{{"ret", "error"}, {"error", report}};
}

void Corvane::publish_metrics(bool now) {
    if (!metrics_) return;
    const auto at = std::chrono::steady_clock::now();
    if (!now && at - metrics_published_ < std::chrono::milliseconds(100)) return;
    metrics_published_ = at;
    MetricsSnapshot snapshot;
    snapshot.backend = scrivell.counters();
    snapshot.requests = request_counts_.counts();
    snapshot.open_files = scrivell.open_paths().size();
    snapshot.held_bytes = scrivell.held_bytes();
    snapshot.memory_limit_bytes = scrivell.limits().memory_limit_bytes;
    snapshot.notifications_delivered = scrivell.notifications_delivered();
    snapshot.notifications_owed = scrivell.notifications_owed();
    snapshot.notifications_dropped = scrivell.notifications_dropped();
    snapshot.rows_with_workers = scrivell.rows_with_workers();
    snapshot.ring_slots_in_use = local_ ? local_->slots_in_use() : 0;
    snapshot.unreported_failures = scrivell.unreported_failures();
    metrics_->publish(std::move(snapshot));
}

void Corvane::close_all_files() {
    const std::size_t open = scrivell.open_paths().size();
    // Rows still with a worker are written and every journal is on disk first.
    write_journals();
    for (const std::string& filepath : scrivell.open_paths()) {
        if (scrivell.journaling() && scrivell.has_unreported_failures(filepath)) {
            // Closing it would leave its failures nowhere but in the log, and its next waiting
            // close would say "ok". Its journal holds them: the next start restores the file,
            // and that close reports them.
            spdlog::warn(
                "shutdown: \"{}\" is left open for the next start: requests for it failed that "
                "no waiting close was told of",
                filepath);
            continue;
        }
        try {
            scrivell.close_at_shutdown(filepath);
            spdlog::warn("shutdown: closed \"{}\"", filepath);
        } catch (const std::exception& error) {
            spdlog::error("shutdown: close \"{}\": {}", filepath, error.what());
        }
    }
    // The files left open keep theirs in their journals.
    for (const std::string& report : scrivell.take_failure_reports(/*of_open_files=*/false)) {
        spdlog::error("shutdown: failed requests no close was told of: {}", report);
    }
    scrivell.deliver_owed();
    for (const std::string& what : scrivell.owed_notifications()) {
        spdlog::error("shutdown: notification {} was never taken by a broker: {}", what,
                      scrivell.last_notification_error());
    }
    stopped_line_ =
        fmt::format("brennic {} stopped: {} files closed, {} left open", BRENNIC_VERSION,
                    open - scrivell.open_paths().size(), scrivell.open_paths().size());
}

}  // namespace brennic
