#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <zelt/Worker.hpp>
#include <zelt/storageParser.hpp>

namespace brennic {

// The clients that may connect when CURVE is on: the public keys of the certificates in
// [corvane] curve_clients_dir, read at start and again on SIGHUP. A refused key is logged
// once, with the address it came from.
class CurveClients {
  public:
    explicit CurveClients(std::string directory);
    // Whether `public_key` may connect; from ZeroMQ's authentication thread.
    bool allows(const std::string& public_key, const std::string& address);
    // Reads the directory again; a file that holds no key is skipped with an ERROR naming
    // it. When the directory cannot be read, keeps the keys it had, and says so.
    void reload();
    // The client keys allowed.
    std::size_t size() const;
    const std::string& directory() const { return directory_; }

  private:
    static constexpr std::size_t max_refusals_logged = 1024;
    std::string directory_;
    mutable std::mutex mutex_;
    std::set<std::string> keys_;
    std::set<std::string> refusals_logged_;
    bool refusals_capped_ = false;
};

// Sets up CURVE for the service's socket in `options` when [corvane] curve_secret_key_file and
// curve_clients_dir are both set, and returns the clients it allows (nullptr when CURVE is
// off). Throws zelt::Error naming the file or directory that cannot be used, or the entry
// given without the other.
std::shared_ptr<CurveClients> serve_with_curve(const zelt::storageParser& config,
                                               zelt::WorkerOptions& options);

}  // namespace brennic
