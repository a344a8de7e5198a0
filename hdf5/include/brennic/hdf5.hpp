#pragma once

#include <chrono>
#include <stdexcept>
#include <string>
#include <zelt/Value.hpp>
#include <zelt/Worker.hpp>

namespace brennic {

using zelt::List;
using zelt::Map;
using zelt::NdArray;
using zelt::Value;

// The service answered a waiting call with an error, or did not answer in time.
class ServiceError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One HDF5 file that the brennic service holds open for this program. Each method sends one
// request on the proxy's own DEALER worker; only a `close` with a true "block" waits.
// Values are encoded straight into the outgoing message: a frame given as an NdArray view is
// copied once, there.
class hdf5 {
  public:
    hdf5(std::string filepath, std::string ip, std::string port, zelt::Worker worker);

    // Reads "ip" and "port" of section "corvane", connects a worker of its own, sends
    // {"type": "open", "filepath": filepath} and returns the proxy. Does not wait.
    static hdf5 open(const std::string& filepath);
    // Asks the service to close every open file, on a connection of its own. Does not wait.
    static void clossAll();
    // Asks the service, on a connection of its own, what it holds: the reply map ("version",
    // "files", "notifications_pending", "failed_requests", ...). Waits at most
    // "reply_timeout_ms"; throws ServiceError when no reply comes.
    static Map status();

    // Each sends nothing when its argument is empty.
    void create_dataset_map(const Map& m);
    void create_dataset_append(const List& l);
    void create_dataset_append_split(const List& l);
    // Named arguments (identify, CTType, ...) follow the fixed keys and replace a fixed key
    // of the same name.
    void dataset_append_map(const Map& m, const Map& kwargs = {});
    void dataset_append_split_map(const Map& m, const Map& kwargs = {});
    // With a true "block", waits for the service's reply: returns once the file is complete
    // and closed there. Throws ServiceError on an error reply or when no reply comes within
    // the reply time-out.
    void close(const Map& kwargs = {});

    // How long a waiting close waits: "reply_timeout_ms" of section "corvane", else ten
    // minutes.
    void set_reply_timeout(std::chrono::milliseconds timeout) { reply_timeout_ = timeout; }
    std::chrono::milliseconds reply_timeout() const { return reply_timeout_; }

    std::string filepath;
    std::string ip;
    std::string port;
    zelt::Worker worker;

  private:
    void send_with(Map record, const Map& kwargs);

    std::chrono::milliseconds reply_timeout_;
};

}  // namespace brennic
