// brennic-send: sends one request record, given as JSON, to the configured service and
// prints the reply when the record's "block" is true; or watches every open file.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <zelt/Curve.hpp>
#include <zelt/Worker.hpp>
#include <zelt/storageParser.hpp>

namespace {

zelt::Value from_json(const nlohmann::ordered_json& json) {
    switch (json.type()) {
        case nlohmann::ordered_json::value_t::null:
            return {};
        case nlohmann::ordered_json::value_t::boolean:
            return json.get<bool>();
        case nlohmann::ordered_json::value_t::number_integer:
            return json.get<std::int64_t>();
        case nlohmann::ordered_json::value_t::number_unsigned:
            return json.get<std::uint64_t>();
        case nlohmann::ordered_json::value_t::number_float:
            return json.get<double>();
        case nlohmann::ordered_json::value_t::string:
            return json.get<std::string>();
        case nlohmann::ordered_json::value_t::array: {
            zelt::List list;
            for (const auto& item : json) list.push_back(from_json(item));
            return list;
        }
        case nlohmann::ordered_json::value_t::object: {
            zelt::Map map;
            for (const auto& [key, item] : json.items()) map.emplace_back(key, from_json(item));
            return map;
        }
        case nlohmann::ordered_json::value_t::binary:
        case nlohmann::ordered_json::value_t::discarded:
            break;
    }
    throw zelt::Error("request: JSON value without a protocol form");
}

volatile std::sig_atomic_t stop_watching = 0;

std::int64_t integer(const zelt::Map& map, const char* key) {
    const zelt::Value* value = zelt::find(map, key);
    if (!value) return 0;
    if (const auto* n = value->as<std::int64_t>()) return *n;
    if (const auto* u = value->as<std::uint64_t>()) return static_cast<std::int64_t>(*u);
    return 0;
}

// What a file's split datasets hold, summed.
struct Seen {
    std::int64_t frames = 0;
    std::int64_t raw = 0;
    std::int64_t stored = 0;
};

// Asks for the status every second and shows, per open file, its frames, frames per second,
// MB/s raw and stored, the compression ratio, and the notifications owed. On a terminal the
// table is drawn again in place; elsewhere one line a second. Ends on SIGINT or SIGTERM.
int watch(zelt::Worker& worker, long long timeout_ms) {
    std::signal(SIGINT, [](int) { stop_watching = 1; });
    std::signal(SIGTERM, [](int) { stop_watching = 1; });
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    std::map<std::string, Seen> before;
    auto then = std::chrono::steady_clock::now();
    while (!stop_watching) {
        worker.send_dumps(zelt::Map{{"type", "status"}, {"block", true}});
        auto reply = worker.recv_loads(std::chrono::milliseconds(timeout_ms));
        if (!reply) {
            std::cerr << "brennic-send: no reply from " << worker.endpoint() << " within "
                      << timeout_ms << " ms\n";
            return 2;
        }
        const auto now = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(now - then).count();
        then = now;
        const auto* fields = reply->as<zelt::Map>();
        const zelt::Value* files_value = fields ? zelt::find(*fields, "files") : nullptr;
        const auto* files = files_value ? files_value->as<zelt::Map>() : nullptr;
        std::map<std::string, Seen> seen;
        std::string out;
        char line[512];
        for (const auto& [path, entry] : files ? *files : zelt::Map()) {
            Seen& file = seen[path];
            const auto* entry_map = entry.as<zelt::Map>();
            const zelt::Value* split_value = entry_map ? zelt::find(*entry_map, "split") : nullptr;
            const auto* split = split_value ? split_value->as<zelt::Map>() : nullptr;
            for (const auto& [name, dataset] : split ? *split : zelt::Map()) {
                const auto* d = dataset.as<zelt::Map>();
                if (!d) continue;
                file.frames +=
                    integer(*d, "splitFileIndex") * integer(*d, "splitSize") + integer(*d, "rows");
                file.raw += integer(*d, "raw_bytes");
                file.stored += integer(*d, "bytes_written");
            }
            const auto was = before.find(path);
            const Seen last = was == before.end() ? file : was->second;
            const double per_s = seconds > 0 && was != before.end() ? 1 / seconds : 0;
            std::snprintf(line, sizeof line,
                          "%s  %lld frames  %.1f frames/s  %.1f MB/s raw  %.1f MB/s stored  "
                          "ratio %.2f",
                          path.c_str(), static_cast<long long>(file.frames),
                          static_cast<double>(file.frames - last.frames) * per_s,
                          static_cast<double>(file.raw - last.raw) * per_s / 1e6,
                          static_cast<double>(file.stored - last.stored) * per_s / 1e6,
                          file.stored > 0 ? static_cast<double>(file.raw) / file.stored : 0.0);
            out += std::string(terminal ? "" : "; ") + line + (terminal ? "\n" : "");
        }
        const long long owed = fields ? integer(*fields, "notifications_pending") : 0;
        if (terminal) {
            std::printf("\033[H\033[Jbrennic at %s: %zu open files, %lld notifications owed\n%s",
                        worker.endpoint().c_str(), seen.size(), owed, out.c_str());
        } else {
            std::printf("%zu open files, %lld notifications owed%s\n", seen.size(), owed,
                        out.c_str());
        }
        std::fflush(stdout);
        before = std::move(seen);
        for (int i = 0; i < 10 && !stop_watching; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Send one request record, given as JSON, to the brennic service", "brennic-send"};
    std::string request_text;
    long long timeout_ms = 10000;
    bool status = false;
    auto* request_option =
        app.add_option("request", request_text, "the request record as a JSON object");
    app.add_flag("--status", status, "ask the service what it holds and print it as JSON")
        ->excludes(request_option);
    std::string keygen_dir;
    app.add_option("--keygen", keygen_dir,
                   "write a CURVE key pair into DIR: brennic.key (secret) and brennic.key.pub")
        ->excludes(request_option);
    bool watching = false;
    app.add_flag("--watch", watching,
                 "show every open file, refreshed each second, until interrupted")
        ->excludes(request_option);
    app.add_option("--timeout-ms", timeout_ms, "how long to wait for a reply")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    if (!keygen_dir.empty()) {
        try {
            // A directory of its own, as the set-up asks: made when missing, the owner's alone.
            namespace fs = std::filesystem;
            if (!fs::exists(keygen_dir)) {
                fs::create_directories(keygen_dir);
                fs::permissions(keygen_dir, fs::perms::owner_all, fs::perm_options::replace);
            }
            const std::string path = keygen_dir + "/brennic.key";
            zelt::write_curve_certificates(path, zelt::new_curve_keys());
            std::cout << "wrote " << path << " (secret, mode 0600) and " << path
                      << ".pub (public)\n";
            return 0;
        } catch (const std::exception& error) {
            std::cerr << "brennic-send: " << error.what() << '\n';
            return 2;
        }
    }
    if (watching) {
        try {
            const zelt::storageParser config;
            zelt::WorkerOptions options;
            zelt::use_client_curve(config, options);
            zelt::Worker worker(zelt::DEALER, config.get("corvane", "ip"),
                                config.get("corvane", "port"), true, options);
            return watch(worker, timeout_ms);
        } catch (const std::exception& error) {
            std::cerr << "brennic-send: " << error.what() << '\n';
            return 2;
        }
    }
    if (!status && request_text.empty()) {
        std::cerr << "brennic-send: give a request as JSON, or --status\n";
        return 2;
    }
    try {
        const zelt::Value request =
            status ? zelt::Value(zelt::Map{{"type", "status"}, {"block", true}})
                   : from_json(nlohmann::ordered_json::parse(request_text));
        const zelt::storageParser config;
        zelt::WorkerOptions options;
        options.linger_ms = 1000;
        zelt::use_client_curve(config, options);
        zelt::Worker worker(zelt::DEALER, config.get("corvane", "ip"),
                            config.get("corvane", "port"), true, options);
        worker.send_dumps(request);
        const auto* record = request.as<zelt::Map>();
        const zelt::Value* block = record ? zelt::find(*record, "block") : nullptr;
        if (!block || !zelt::is_true(*block)) return 0;
        auto reply = worker.recv_loads(std::chrono::milliseconds(timeout_ms));
        if (!reply) {
            std::cerr << "brennic-send: no reply from " << worker.endpoint() << " within "
                      << timeout_ms << " ms: is brennic running there? (configuration "
                      << config.source() << ")\n";
            return 2;
        }
        std::cout << zelt::to_text(*reply) << std::endl;
        const auto* fields = reply->as<zelt::Map>();
        const zelt::Value* ret = fields ? zelt::find(*fields, "ret") : nullptr;
        return ret && *ret == zelt::Value("ok") ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "brennic-send: " << error.what() << '\n';
        return 2;
    }
}
