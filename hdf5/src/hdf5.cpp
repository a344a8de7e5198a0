#include <brennic/hdf5.hpp>
#include <zelt/storageParser.hpp>

namespace brennic {

namespace {

constexpr long long default_reply_timeout_ms = 600000;

constexpr long long default_linger_ms = 5000;
constexpr long long default_send_hwm = 256;

zelt::Worker client_worker(const zelt::storageParser& config) {
    zelt::WorkerOptions options;
    // A program that makes frames faster than the service takes them waits in its send
    // instead of queueing gigabytes of them in its own memory.
    options.send_hwm = static_cast<int>(config.number_or("corvane", "send_hwm", default_send_hwm));
    // Requests sent just before the program ends still reach a running service; a program
    // whose service is gone waits this long at exit, not for ever.
    options.linger_ms =
        static_cast<int>(config.number_or("corvane", "linger_ms", default_linger_ms));
    return zelt::Worker(zelt::DEALER, config.get("corvane", "ip"), config.get("corvane", "port"),
                        true, options);
}

}  // namespace

hdf5::hdf5(std::string path, std::string address, std::string service_port, zelt::Worker connection)
    : filepath(std::move(path)),
      ip(std::move(address)),
      port(std::move(service_port)),
      worker(std::move(connection)),
      reply_timeout_(zelt::storageParser().number_or("corvane", "reply_timeout_ms",
                                                     default_reply_timeout_ms)) {}

hdf5 hdf5::open(const std::string& filepath) {
    const zelt::storageParser config;
    std::string ip = config.get("corvane", "ip");
    std::string port = config.get("corvane", "port");
    zelt::Worker worker = client_worker(config);
    worker.send_dumps(Map{{"type", "open"}, {"filepath", filepath}});
    return hdf5(filepath, std::move(ip), std::move(port), std::move(worker));
}

void hdf5::clossAll() {
    const zelt::storageParser config;
    zelt::Worker worker = client_worker(config);
    worker.send_dumps(Map{{"type", "closeAll"}});
}

Map hdf5::status() {
    const zelt::storageParser config;
    zelt::Worker worker = client_worker(config);
    worker.send_dumps(Map{{"type", "status"}, {"block", true}});
    const std::chrono::milliseconds timeout(
        config.number_or("corvane", "reply_timeout_ms", default_reply_timeout_ms));
    std::optional<Value> reply = worker.recv_loads(timeout);
    if (!reply) {
        throw ServiceError("status: the service at " + worker.endpoint() +
                           " did not answer within " + std::to_string(timeout.count()) + " ms");
    }
    const Map* fields = reply->as<Map>();
    if (!fields) throw ServiceError("status: unexpected reply " + zelt::to_text(*reply));
    return *fields;
}

void hdf5::send_with(Map record, const Map& kwargs) {
    for (const auto& [key, value] : kwargs) zelt::put(record, key, value);
    worker.send_dumps(record);
}

void hdf5::create_dataset_map(const Map& m) {
    if (m.empty()) return;
    worker.send_dumps(Map{{"type", "create_dataset_map"}, {"filepath", filepath}, {"map", m}});
}

void hdf5::create_dataset_append(const List& l) {
    if (l.empty()) return;
    worker.send_dumps(
        Map{{"type", "create_dataset_append"}, {"filepath", filepath}, {"dataset_info_list", l}});
}

void hdf5::create_dataset_append_split(const List& l) {
    if (l.empty()) return;
    worker.send_dumps(
        Map{{"type", "create_dataset_append_split"}, {"filepath", filepath}, {"datainfolist", l}});
}

void hdf5::dataset_append_map(const Map& m, const Map& kwargs) {
    if (m.empty()) return;
    send_with(Map{{"type", "dataset_append_map"}, {"filepath", filepath}, {"map", m}}, kwargs);
}

void hdf5::dataset_append_split_map(const Map& m, const Map& kwargs) {
    if (m.empty()) return;
    send_with(Map{{"type", "dataset_append_split_map"}, {"filepath", filepath}, {"map", m}},
              kwargs);
}

void hdf5::close(const Map& kwargs) {
    send_with(Map{{"type", "close"}, {"filepath", filepath}}, kwargs);
    const Value* block = zelt::find(kwargs, "block");
    if (!block || !zelt::is_true(*block)) return;
    const std::string what = "close \"" + filepath + "\"";
    std::optional<Value> reply = worker.recv_loads(reply_timeout_);
    if (!reply) {
        throw ServiceError(what + ": the service did not answer within " +
                           std::to_string(reply_timeout_.count()) + " ms");
    }
    const Map* fields = reply->as<Map>();
    const Value* ret = fields ? zelt::find(*fields, "ret") : nullptr;
    if (ret && *ret == Value("ok")) return;
    const Value* error = fields ? zelt::find(*fields, "error") : nullptr;
    if (!error || !error->is<std::string>()) {
        throw ServiceError(what + ": unexpected reply " + zelt::to_text(*reply));
    }
    // The service names the request itself: "close \"PATH\": ...".
    const std::string& text = *error->as<std::string>();
    throw ServiceError(text.rfind(what, 0) == 0 ? text : what + ": " + text);
}

}  // namespace brennic
