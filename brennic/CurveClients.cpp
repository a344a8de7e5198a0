#include "CurveClients.hpp"

#include <spdlog/spdlog.h>

#include <zelt/Curve.hpp>

namespace brennic {

CurveClients::CurveClients(std::string directory) : directory_(std::move(directory)) {
    const auto keys = zelt::read_curve_directory(directory_);
    keys_ = {keys.begin(), keys.end()};
}

std::size_t CurveClients::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_.size();
}

bool CurveClients::allows(const std::string& public_key, const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (keys_.count(public_key)) return true;
    // Each unknown key once, up to a bound: a client with a new key pair per connection
    // neither grows the set nor floods the log.
    if (refusals_logged_.size() < max_refusals_logged) {
        if (refusals_logged_.insert(public_key).second) {
            spdlog::warn("refused a client from {}: its CURVE key {} is not in \"{}\"", address,
                         public_key, directory_);
        }
    } else if (!refusals_capped_) {
        refusals_capped_ = true;
        spdlog::warn(
            "refused clients from {} unknown CURVE keys; further ones are not logged "
            "until the clients are read again (SIGHUP)",
            max_refusals_logged);
    }
    return false;
}

void CurveClients::reload() {
    try {
        std::vector<std::string> skipped;
        const auto keys = zelt::read_curve_directory(directory_, &skipped);
        for (const std::string& why : skipped) spdlog::error("CURVE client skipped: {}", why);
        std::lock_guard<std::mutex> lock(mutex_);
        keys_ = {keys.begin(), keys.end()};
        refusals_logged_.clear();
        refusals_capped_ = false;
        spdlog::warn("CURVE clients read again from \"{}\": {} keys", directory_, keys_.size());
    } catch (const std::exception& error) {
        spdlog::error("CURVE clients not read again, the {} keys before stay: {}", keys_.size(),
                      error.what());
    }
}

std::shared_ptr<CurveClients> serve_with_curve(const zelt::storageParser& config,
                                               zelt::WorkerOptions& options) {
    const std::string key_file = config.get_or("corvane", "curve_secret_key_file", "");
    const std::string clients_dir = config.get_or("corvane", "curve_clients_dir", "");
    if (key_file.empty() && clients_dir.empty()) return nullptr;
    if (key_file.empty() || clients_dir.empty()) {
        throw zelt::Error("configuration " + config.source() +
                          ": CURVE needs both [corvane] curve_secret_key_file and "
                          "curve_clients_dir; give both, or neither");
    }
    options.curve_secret_key = zelt::read_curve_certificate(key_file, true).secret_key;
    auto clients = std::make_shared<CurveClients>(clients_dir);
    options.curve_allows = [clients](const std::string& key, const std::string& address) {
        return clients->allows(key, address);
    };
    return clients;
}

}  // namespace brennic
