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

    // Serves requests until request_stop() is called, then closes every open file as
    // closeAll does, so that nothing handed over is lost, and returns.
    void start();

    // Asks every running loop to stop after its current request. Safe in a signal handler;
    // returns whether a stop had been asked for already.
    static bool request_stop() noexcept { return stop_requested_.exchange(true); }

    std::string ip;
    std::string port;
    zelt::Worker worker;
    scrivell::Scrivell scrivell;

  private:
    explicit Corvane(const zelt::storageParser& config);
    void serve(const std::string& identity);
    void close_all_files();

    static inline std::atomic<bool> stop_requested_{false};
    static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal");
};

}  // namespace brennic
