#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <zelt/Value.hpp>
#include <zelt/codec.hpp>
#include <zmq.hpp>

namespace zelt {

enum class SocketKind { Router, Dealer };
inline constexpr SocketKind ROUTER = SocketKind::Router;
inline constexpr SocketKind DEALER = SocketKind::Dealer;

// Socket settings beyond the endpoint.
struct WorkerOptions {
    // Messages above this are refused: received ones by ZeroMQ, sent ones by send_dumps
    // (zelt::Error) before they leave. -1: no bound.
    std::int64_t max_message_bytes = -1;
    int receive_hwm = 1000;  // messages queued for receiving before the peer waits
    int send_hwm = 1000;     // messages queued for sending before a send waits
    int linger_ms = 1000;    // how long unsent messages are kept at close
    // The identity a DEALER gives itself, kept across reconnections: a service that restarted
    // knows the client again. Empty: ZeroMQ chooses one per connection.
    std::string routing_id;
    // A connecting worker watches its connection (ZeroMQ's socket monitor, and heartbeats
    // every heartbeat_ms that drop a peer silent for three of them), so that it can tell a
    // service that is busy from an address where nobody answers. 0: not watched.
    int heartbeat_ms = 0;
    // With heartbeat_ms: a send that cannot leave (the queue to the peer is full, or no peer
    // ever connected) waits while a peer has been connected within this long, and beyond it
    // fails with zelt::Error: nobody answers there. 0: a send waits for as long as it takes.
    int give_up_after_ms = 0;
    // CURVE. A client gives the server's public key and its own key pair; a server its own
    // secret key and `curve_allows`, asked (on a thread of the worker's) for each connecting
    // client's public key and address, both as text. Empty: no CURVE.
    std::string curve_server_key;
    std::string curve_public_key;
    std::string curve_secret_key;
    std::function<bool(const std::string& public_key, const std::string& address)> curve_allows;
};

// One messaging endpoint on tcp://ip:port. A ROUTER made with `connect` false binds (the
// service); a worker made with `connect` true connects (a client's DEALER). Owns its ZeroMQ
// context and socket. Throws zelt::Error when the endpoint cannot be bound or connected.
class Worker {
  public:
    Worker(SocketKind kind, const std::string& ip, const std::string& port, bool connect = true,
           const WorkerOptions& options = {});
    Worker(Worker&&) noexcept;
    Worker& operator=(Worker&& other) noexcept;
    ~Worker();  // stops a watch's monitor before its reader goes

    // ROUTER: blocks until a request arrives and returns the sender's identity.
    std::string recv();
    // As recv(), but gives up after `timeout` and returns nothing.
    std::optional<std::string> recv(std::chrono::milliseconds timeout);
    // The next frame, decoded. Array bytes stay inside the received message. Throws
    // zelt::Error for a payload the protocol refuses, or one split over several frames.
    Value recv_loads();
    // As recv_loads(), but gives up after `timeout` and returns nothing.
    std::optional<Value> recv_loads(std::chrono::milliseconds timeout);
    // Encodes `value` straight into one outgoing message and sends it.
    void send_dumps(const Value& value);
    // ROUTER: sends `value` to the peer with this identity. A value above max_message_bytes is
    // refused (zelt::Error) before anything is sent.
    void send_dumps_id(const std::string& identity, const Value& value);

    const std::string& endpoint() const { return endpoint_; }
    // With heartbeat_ms: whether a peer has been connected at some time within the last
    // `grace` (or since the worker was made, if that is more recent). Always true unwatched.
    bool peer_answers_within(std::chrono::milliseconds grace);
    // Lets recv_loads() take slot references, turned into arrays by `resolver`.
    void set_slot_resolver(SlotResolver resolver) { resolver_ = std::move(resolver); }

  private:
    bool wait_readable(std::chrono::milliseconds timeout);
    void watch(int heartbeat_ms);
    // `value` encoded into one message; throws zelt::Error above max_message_bytes.
    zmq::message_t encoded(const Value& value) const;
    void send_message(zmq::message_t& message, zmq::send_flags flags);

    class Authenticator;
    zmq::context_t context_;
    // Answers ZeroMQ's authentication requests of a CURVE server; before the socket, so that
    // it stops after it.
    std::unique_ptr<Authenticator> authenticator_;
    zmq::socket_t socket_;
    zmq::socket_t monitor_;  // the socket monitor's events, when watched
    bool connected_ = false;
    std::chrono::steady_clock::time_point last_connected_;
    std::chrono::milliseconds give_up_after_{0};  // see WorkerOptions::give_up_after_ms
    std::string endpoint_;
    std::int64_t max_message_bytes_ = -1;
    SlotResolver resolver_;
};

}  // namespace zelt
