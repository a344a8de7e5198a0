#pragma once

#include <atomic>
#include <string>

#include <scrivell/Scrivell.hpp>
#include <zelt/Worker.hpp>
#include <zelt/storageParser.hpp>

namespace brennic {

// The service: the ROUTER worker clients reach and the one backend that does all HDF5 work.
// Requests are served one at a time, in arrival order, on the calling thread.
class Corvane {
  public:
    // Reads "ip" and "port" of section "corvane", binds the worker, then makes the backend.
    // Throws zelt::Error when the configuration lacks them or the endpoint cannot be bound.
    Corvane();

    // Serves requests until `stop` is set (by a signal handler), then closes every open file
    // as closeAll does, so that nothing handed over is lost, and returns.
    void start(const std::atomic<bool>& stop);

    std::string ip;
    std::string port;
    zelt::Worker worker;
    scrivell::Scrivell scrivell;

  private:
    explicit Corvane(const zelt::storageParser& config);
    void serve(const std::string& identity);
    void close_all_files();
};

}  // namespace brennic
