// brennic-send: sends one request record, given as JSON, to the configured service and
// prints the reply when the record's "block" is true.
#include <CLI/CLI.hpp>
#include <chrono>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
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
    app.add_option("--timeout-ms", timeout_ms, "how long to wait for a reply")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);
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
