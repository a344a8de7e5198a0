#include "Metrics.hpp"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <scrivell/Scrivell.hpp>
#include <scrivell/fail_points.hpp>
#include <tuple>
#include <zelt/Value.hpp>

namespace brennic {

namespace {

class Text {
  public:
    // The HELP and TYPE lines of a metric family.
    void family(const char* name, const char* type, const char* help) {
        out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const std::string& name, double value, const std::string& labels = "") {
        char number[64];
        std::snprintf(number, sizeof number, "%.17g", value);
        out_ += name + (labels.empty() ? "" : "{" + labels + "}") + " " + number + "\n";
    }
    void one(const char* name, const char* type, const char* help, double value) {
        family(name, type, help);
        sample(name, value);
    }
    std::string take() { return std::move(out_); }

  private:
    std::string out_;
};

// A label value as the text format quotes it.
std::string label(const std::string& value) {
    std::string out = "\"";
    for (const char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t*, void**) {
    const auto* endpoint = static_cast<const MetricsEndpoint*>(cls);
    unsigned status = MHD_HTTP_OK;
    std::string body;
    const char* type = "text/plain; version=0.0.4; charset=utf-8";
    if (std::strcmp(url, "/metrics") != 0) {
        status = MHD_HTTP_NOT_FOUND;
        body = "only /metrics is here\n";
        type = "text/plain";
    } else if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
               std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        status = MHD_HTTP_METHOD_NOT_ALLOWED;
        body = "GET /metrics\n";
        type = "text/plain";
    } else {
        scrivell::delay_at(scrivell::DelayPoint::Metrics);
        body = endpoint->text();
    }
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace

void RequestCounts::count(const zelt::Value& request, bool ok) {
    const auto* record = request.as<zelt::Map>();
    const zelt::Value* type = record ? zelt::find(*record, "type") : nullptr;
    const std::string* name = type ? type->as<std::string>() : nullptr;
    const bool known = name && (*name == "status" || scrivell::Scrivell::serves(*name));
    ++counts_[{known ? *name : "other", ok ? "ok" : "error"}];
}

std::string prometheus_text(const MetricsSnapshot& s, const std::string& version) {
    Text t;
    t.family("brennic_build_info", "gauge", "The service's version.");
    t.sample("brennic_build_info", 1, "version=" + label(version));
    t.family("brennic_requests_total", "counter", "Requests served, by type and result.");
    for (const auto& [key, count] : s.requests) {
        t.sample("brennic_requests_total", static_cast<double>(count),
                 "type=" + label(key.first) + ",result=" + label(key.second));
    }
    t.one("brennic_frames_written_total", "counter", "Rows written into blocks of split datasets.",
          static_cast<double>(s.backend.frames_written));
    t.one("brennic_blocks_finished_total", "counter",
          "Blocks given their final names and linked from their masters.",
          static_cast<double>(s.backend.blocks_finished));
    using Bytes = scrivell::Counters::Bytes;
    for (const auto& [name, help, field] :
         {std::tuple{"brennic_frame_bytes_raw_total",
                     "Bytes of the rows written, as they came, by codec.", &Bytes::raw},
          std::tuple{"brennic_frame_bytes_stored_total",
                     "Bytes the rows written take in their files, by codec.", &Bytes::stored}}) {
        t.family(name, "counter", help);
        for (const auto& [codec, bytes] : s.backend.bytes_by_codec) {
            t.sample(name, static_cast<double>(bytes.*field), "codec=" + label(codec));
        }
    }
    t.one("brennic_open_files", "gauge", "Master files open.", static_cast<double>(s.open_files));
    t.one("brennic_held_bytes", "gauge",
          "Memory held for appended values, owed notifications and rows with workers.",
          static_cast<double>(s.held_bytes));
    t.one("brennic_memory_limit_bytes", "gauge", "memory_limit_mib in bytes; 0: no limit.",
          static_cast<double>(s.memory_limit_bytes));
    t.one("brennic_notifications_delivered_total", "counter", "Notifications a broker took.",
          static_cast<double>(s.notifications_delivered));
    t.one("brennic_notifications_dropped_total", "counter",
          "Notifications refused for good and dropped.",
          static_cast<double>(s.notifications_dropped));
    t.one("brennic_notifications_owed", "gauge", "Notifications no broker has taken yet.",
          static_cast<double>(s.notifications_owed));
    t.one("brennic_journal_writes_total", "counter", "Journal writes of open files.",
          static_cast<double>(s.backend.journal_writes));
    t.family("brennic_journal_write_seconds", "histogram",
             "How long a journal write took, its sync included.");
    for (std::size_t i = 0; i < std::size(scrivell::Counters::journal_bounds); ++i) {
        char bound[32];
        std::snprintf(bound, sizeof bound, "%g", scrivell::Counters::journal_bounds[i]);
        t.sample("brennic_journal_write_seconds_bucket",
                 static_cast<double>(s.backend.journal_within[i]), "le=" + label(bound));
    }
    t.sample("brennic_journal_write_seconds_bucket", static_cast<double>(s.backend.journal_writes),
             "le=\"+Inf\"");
    t.sample("brennic_journal_write_seconds_sum", s.backend.journal_seconds);
    t.sample("brennic_journal_write_seconds_count", static_cast<double>(s.backend.journal_writes));
    t.one("brennic_rows_with_workers", "gauge", "Rows waiting for compression workers.",
          static_cast<double>(s.rows_with_workers));
    t.one("brennic_ring_slots_in_use", "gauge",
          "Slots of same-host clients' rings that requests still hold.",
          static_cast<double>(s.ring_slots_in_use));
    t.one("brennic_unreported_failures", "gauge",
          "Requests that failed with no reply, not yet told to a waiting close.",
          static_cast<double>(s.unreported_failures));
    return t.take();
}

MetricsAddress MetricsAddress::parse(const std::string& text) {
    const auto refuse = [&](const std::string& why) {
        throw zelt::Error("[corvane] metrics " + zelt::printable(text, 128) + ": " + why +
                          "; give HOST:PORT, such as 127.0.0.1:9464, or nothing for no metrics");
    };
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) refuse("no port");
    MetricsAddress address{text.substr(0, colon), 0};
    in_addr ip{};
    if (::inet_pton(AF_INET, address.host.c_str(), &ip) != 1) {
        refuse("\"" + zelt::printable(address.host, 64) + "\" is no IPv4 address");
    }
    const std::string port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) == 0 ||
        std::stoul(port) > 65535) {
        refuse("the port is not a number from 1 to 65535");
    }
    address.port = static_cast<std::uint16_t>(std::stoul(port));
    return address;
}

MetricsEndpoint::MetricsEndpoint(const MetricsAddress& address, std::string version)
    : version_(std::move(version)) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(address.port);
    ::inet_pton(AF_INET, address.host.c_str(), &where.sin_addr);
    // Polled by a thread of ours (epoll: any descriptor number), so that connections can be
    // cut between two runs of the daemon, never while it uses them.
    const auto notify = [](void* cls, MHD_Connection* connection, void**,
                           MHD_ConnectionNotificationCode code) {
        static_cast<MetricsEndpoint*>(cls)->note_connection(connection,
                                                            code == MHD_CONNECTION_NOTIFY_STARTED);
    };
    daemon_ =
        MHD_start_daemon(MHD_USE_EPOLL | MHD_USE_ERROR_LOG, address.port, nullptr, nullptr, &answer,
                         this, MHD_OPTION_SOCK_ADDR, reinterpret_cast<const sockaddr*>(&where),
                         MHD_OPTION_CONNECTION_TIMEOUT, 10U, MHD_OPTION_CONNECTION_LIMIT, 8U,
                         MHD_OPTION_PER_IP_CONNECTION_LIMIT, 4U, MHD_OPTION_NOTIFY_CONNECTION,
                         static_cast<MHD_NotifyConnectionCallback>(notify), this, MHD_OPTION_END);
    if (!daemon_) {
        throw zelt::Error("[corvane] metrics " + address.host + ":" + std::to_string(address.port) +
                          ": cannot serve there (" + std::strerror(errno) + ")");
    }
    thread_ = std::thread([this] { serve(); });
}

MetricsEndpoint::~MetricsEndpoint() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (daemon_) MHD_stop_daemon(daemon_);
}

void MetricsEndpoint::note_connection(MHD_Connection* connection, bool started) {
    if (started) {
        started_[connection] = std::chrono::steady_clock::now();
    } else {
        started_.erase(connection);
    }
}

void MetricsEndpoint::serve() {
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
    pollfd ready{info ? info->epoll_fd : -1, POLLIN, 0};
    while (!stopping_.load()) {
        // A short wait: the stop flag and the slow connections are looked at between two.
        ::poll(&ready, 1, 100);
        MHD_run(daemon_);
        cut_slow_connections();
    }
}

void MetricsEndpoint::cut_slow_connections() {
    const auto now = std::chrono::steady_clock::now();
    for (auto& [connection, started] : started_) {
        if (now - started < request_limit) continue;
        // Once: the daemon sees the connection end at its next run, and forgets it.
        started = std::chrono::steady_clock::time_point::max();
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info) ::shutdown(info->connect_fd, SHUT_RDWR);
    }
}

void MetricsEndpoint::publish(MetricsSnapshot snapshot) {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshot_ = std::move(snapshot);
}

std::string MetricsEndpoint::text() const {
    MetricsSnapshot copy;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        copy = snapshot_;
    }
    return prometheus_text(copy, version_);
}

}  // namespace brennic
