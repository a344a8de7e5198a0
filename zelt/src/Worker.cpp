#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>
#include <zelt/Worker.hpp>
#include <zelt/codec.hpp>

namespace zelt {

namespace {

// The address ZeroMQ is given: a literal or "*" as it stands; a host name resolved, so that
// "localhost" means the host and not a network interface of that name. IPv4 first.
std::string resolved(const std::string& ip) {
    in6_addr ignored{};
    if (ip == "*" || (!ip.empty() && ip.front() == '[') ||
        ::inet_pton(AF_INET, ip.c_str(), &ignored) == 1 ||
        ::inet_pton(AF_INET6, ip.c_str(), &ignored) == 1) {
        return ip;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(ip.c_str(), nullptr, &hints, &found);
    if (status != 0) {
        throw Error("address \"" + ip + "\" cannot be resolved: " + ::gai_strerror(status));
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
    const addrinfo* chosen = found;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_family == AF_INET) {
            chosen = a;
            break;
        }
    }
    char text[INET6_ADDRSTRLEN] = {};
    const void* address =
        chosen->ai_family == AF_INET
            ? static_cast<const void*>(
                  &reinterpret_cast<const sockaddr_in*>(chosen->ai_addr)->sin_addr)
            : static_cast<const void*>(
                  &reinterpret_cast<const sockaddr_in6*>(chosen->ai_addr)->sin6_addr);
    ::inet_ntop(chosen->ai_family, address, text, sizeof text);
    return text;
}

std::string checked_port(const std::string& port) {
    const bool digits = !port.empty() && port.size() <= 5 &&
                        port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoi(port) < 1 || std::stoi(port) > 65535) {
        throw Error("port \"" + port + "\" is not a TCP port (1 to 65535)");
    }
    return port;
}

std::string endpoint_of(const std::string& name, const std::string& port_text) {
    const std::string port = checked_port(port_text);
    const std::string ip = resolved(name);
    // An IPv6 literal needs brackets in a ZeroMQ TCP endpoint.
    if (ip.find(':') != std::string::npos && ip.front() != '[') {
        return "tcp://[" + ip + "]:" + port;
    }
    return "tcp://" + ip + ":" + port;
}

// Reads and drops the frames that follow a message's first frame.
void drain_more(zmq::socket_t& socket) {
    while (socket.get(zmq::sockopt::rcvmore)) {
        zmq::message_t extra;
        (void)socket.recv(extra, zmq::recv_flags::none);
    }
}

}  // namespace

// ZeroMQ's authentication handler (ZAP) for a CURVE server: a REP socket at the address ZeroMQ
// asks, on a thread of its own, that answers each request with `allows`'s word.
class Worker::Authenticator {
  public:
    Authenticator(zmq::context_t& context, decltype(WorkerOptions::curve_allows) allows)
        : socket_(context, zmq::socket_type::rep), allows_(std::move(allows)) {
        socket_.bind("inproc://zeromq.zap.01");
        thread_ = std::thread([this] { run(); });
    }
    ~Authenticator() {
        stop_ = true;
        thread_.join();
    }

  private:
    void run() {
        while (!stop_) {
            zmq::pollitem_t item{static_cast<void*>(socket_), 0, ZMQ_POLLIN, 0};
            try {
                if (zmq::poll(&item, 1, std::chrono::milliseconds(100)) <= 0) continue;
                std::vector<zmq::message_t> request;
                do {
                    request.emplace_back();
                    (void)socket_.recv(request.back(), zmq::recv_flags::none);
                } while (request.back().more());
                answer(request);
            } catch (const zmq::error_t&) {
                // The context is ending, or a request was torn: the next one is asked anew.
            }
        }
    }
    // Frames: version, request id, domain, address, identity, mechanism, then credentials.
    void answer(const std::vector<zmq::message_t>& request) {
        bool allowed = false;
        if (request.size() >= 7 && request[5].to_string() == "CURVE" && request[6].size() == 32) {
            char key[41];
            zmq_z85_encode(key, static_cast<const std::uint8_t*>(request[6].data()), 32);
            try {
                allowed = allows_(key, request[3].to_string());
            } catch (...) {
                allowed = false;
            }
        }
        const std::string id = request.size() > 1 ? request[1].to_string() : std::string();
        socket_.send(zmq::buffer(std::string("1.0")), zmq::send_flags::sndmore);
        socket_.send(zmq::buffer(id), zmq::send_flags::sndmore);
        socket_.send(zmq::buffer(std::string(allowed ? "200" : "400")), zmq::send_flags::sndmore);
        socket_.send(zmq::buffer(std::string(allowed ? "OK" : "unknown key")),
                     zmq::send_flags::sndmore);
        socket_.send(zmq::buffer(std::string()), zmq::send_flags::sndmore);
        socket_.send(zmq::buffer(std::string()), zmq::send_flags::none);
    }

    zmq::socket_t socket_;
    decltype(WorkerOptions::curve_allows) allows_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Worker::Worker(SocketKind kind, const std::string& ip, const std::string& port, bool connect,
               const WorkerOptions& options)
    : context_(1),
      socket_(context_,
              kind == SocketKind::Router ? zmq::socket_type::router : zmq::socket_type::dealer),
      endpoint_(endpoint_of(ip, port)) {
    try {
        socket_.set(zmq::sockopt::linger, options.linger_ms);
        socket_.set(zmq::sockopt::rcvhwm, options.receive_hwm);
        socket_.set(zmq::sockopt::sndhwm, options.send_hwm);
        if (options.max_message_bytes >= 0) {
            socket_.set(zmq::sockopt::maxmsgsize, options.max_message_bytes);
        }
        max_message_bytes_ = options.max_message_bytes;
        if (!options.routing_id.empty()) socket_.set(zmq::sockopt::routing_id, options.routing_id);
        if (options.heartbeat_ms > 0) watch(options.heartbeat_ms);
        give_up_after_ = std::chrono::milliseconds(options.give_up_after_ms);
        if (options.curve_allows) {
            // Server: every client authenticates, and `curve_allows` says who may.
            socket_.set(zmq::sockopt::curve_server, 1);
            socket_.set(zmq::sockopt::curve_secretkey, options.curve_secret_key);
            socket_.set(zmq::sockopt::zap_domain, "brennic");
            authenticator_ = std::make_unique<Authenticator>(context_, options.curve_allows);
        } else if (!options.curve_server_key.empty()) {
            socket_.set(zmq::sockopt::curve_serverkey, options.curve_server_key);
            socket_.set(zmq::sockopt::curve_publickey, options.curve_public_key);
            socket_.set(zmq::sockopt::curve_secretkey, options.curve_secret_key);
        }
        if (endpoint_.find('[') != std::string::npos) socket_.set(zmq::sockopt::ipv6, 1);
        if (connect) {
            socket_.connect(endpoint_);
        } else {
            socket_.bind(endpoint_);
        }
    } catch (const zmq::error_t& error) {
        throw Error(std::string(connect ? "connect to " : "bind ") + endpoint_ + ": " +
                    error.what());
    }
}

void Worker::watch(int heartbeat_ms) {
    socket_.set(zmq::sockopt::heartbeat_ivl, heartbeat_ms);
    socket_.set(zmq::sockopt::heartbeat_timeout, 3 * heartbeat_ms);
    static std::atomic<unsigned long> made{0};
    const std::string address = "inproc://zelt-monitor-" + std::to_string(++made);
    if (zmq_socket_monitor(socket_.handle(), address.c_str(),
                           ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_DISCONNECTED) != 0) {
        throw zmq::error_t();
    }
    monitor_ = zmq::socket_t(context_, zmq::socket_type::pair);
    monitor_.set(zmq::sockopt::linger, 0);
    monitor_.connect(address);
    last_connected_ = std::chrono::steady_clock::now();
}

Worker::Worker(Worker&&) noexcept = default;

Worker& Worker::operator=(Worker&& other) noexcept {
    if (this == &other) return *this;
    if (monitor_ && socket_) (void)zmq_socket_monitor(socket_.handle(), nullptr, 0);
    // The old sockets close before their context ends.
    monitor_ = std::move(other.monitor_);
    socket_ = std::move(other.socket_);
    authenticator_ = std::move(other.authenticator_);
    context_ = std::move(other.context_);
    endpoint_ = std::move(other.endpoint_);
    max_message_bytes_ = other.max_message_bytes_;
    resolver_ = std::move(other.resolver_);
    connected_ = other.connected_;
    last_connected_ = other.last_connected_;
    give_up_after_ = other.give_up_after_;
    return *this;
}

Worker::~Worker() {
    // An event sent to a monitor reader that is gone would block ZeroMQ's I/O thread.
    if (monitor_ && socket_) (void)zmq_socket_monitor(socket_.handle(), nullptr, 0);
}

bool Worker::peer_answers_within(std::chrono::milliseconds grace) {
    if (!monitor_) return true;
    // Each event is two frames: its number and value, then the endpoint.
    zmq::message_t event;
    while (monitor_.recv(event, zmq::recv_flags::dontwait)) {
        std::uint16_t number = 0;
        if (event.size() >= sizeof number) std::memcpy(&number, event.data(), sizeof number);
        while (event.more() && monitor_.recv(event, zmq::recv_flags::dontwait)) {
        }
        if (number == ZMQ_EVENT_HANDSHAKE_SUCCEEDED) connected_ = true;
        if (number == ZMQ_EVENT_DISCONNECTED) connected_ = false;
        last_connected_ = std::chrono::steady_clock::now();
    }
    return connected_ || std::chrono::steady_clock::now() - last_connected_ < grace;
}

bool Worker::wait_readable(std::chrono::milliseconds timeout) {
    zmq::pollitem_t item{static_cast<void*>(socket_), 0, ZMQ_POLLIN, 0};
    try {
        return zmq::poll(&item, 1, timeout) > 0;
    } catch (const zmq::error_t& error) {
        if (error.num() == EINTR) return false;
        throw Error(std::string("poll ") + endpoint_ + ": " + error.what());
    }
}

std::string Worker::recv() {
    zmq::message_t identity;
    while (true) {
        try {
            if (socket_.recv(identity, zmq::recv_flags::none)) break;
        } catch (const zmq::error_t& error) {
            if (error.num() != EINTR) throw Error(std::string("receive: ") + error.what());
        }
    }
    return identity.to_string();
}

std::optional<std::string> Worker::recv(std::chrono::milliseconds timeout) {
    zmq::message_t identity;
    try {
        if (!socket_.recv(identity, zmq::recv_flags::dontwait)) {
            if (!wait_readable(timeout)) return std::nullopt;
            if (!socket_.recv(identity, zmq::recv_flags::dontwait)) return std::nullopt;
        }
    } catch (const zmq::error_t& error) {
        if (error.num() == EINTR) return std::nullopt;
        throw Error(std::string("receive: ") + error.what());
    }
    return identity.to_string();
}

Value Worker::recv_loads() {
    auto message = std::make_shared<zmq::message_t>();
    while (true) {
        try {
            if (socket_.recv(*message, zmq::recv_flags::none)) break;
        } catch (const zmq::error_t& error) {
            if (error.num() != EINTR) throw Error(std::string("receive: ") + error.what());
        }
    }
    if (message->more()) {
        drain_more(socket_);
        throw Error("decode: a request is one frame, this one came in several");
    }
    const char* data = static_cast<const char*>(message->data());
    const std::size_t size = message->size();
    return loads(data, size, std::move(message), resolver_ ? &resolver_ : nullptr);
}

std::optional<Value> Worker::recv_loads(std::chrono::milliseconds timeout) {
    if (!wait_readable(timeout)) return std::nullopt;
    return recv_loads();
}

zmq::message_t Worker::encoded(const Value& value) const {
    if (nesting_levels(value) > max_nesting_depth) {
        throw Error("send to " + endpoint_ + ": the message is nested deeper than " +
                    std::to_string(max_nesting_depth) + " levels, and the peer would refuse it");
    }
    const std::size_t size = encoded_size(value);
    if (max_message_bytes_ >= 0 && size > static_cast<std::uint64_t>(max_message_bytes_)) {
        throw Error("send to " + endpoint_ + ": the message is " + std::to_string(size) +
                    " bytes, more than max_message_bytes (" + std::to_string(max_message_bytes_) +
                    "), and the peer would drop it unread");
    }
    zmq::message_t message(size);
    encode_into(value, static_cast<char*>(message.data()));
    return message;
}

void Worker::send_message(zmq::message_t& message, zmq::send_flags flags) {
    try {
        if (!monitor_ || give_up_after_.count() <= 0) {
            if (!socket_.send(message, flags))
                throw Error("send to " + endpoint_ + ": would block");
            return;
        }
        // A busy peer is waited for; an address where nobody has answered for a while is not.
        while (!socket_.send(message, flags | zmq::send_flags::dontwait)) {
            zmq::pollitem_t writable{socket_.handle(), 0, ZMQ_POLLOUT, 0};
            zmq::poll(&writable, 1, std::chrono::milliseconds(200));
            if (!peer_answers_within(give_up_after_)) {
                throw Error("nobody answers at " + endpoint_ + ", so the message was not " +
                            "sent (is the service running? start it with `brennic`, " +
                            "or `systemctl start brennic`; ZELT_CONFIG names the address)");
            }
        }
    } catch (const zmq::error_t& error) {
        throw Error("send to " + endpoint_ + ": " + error.what());
    }
}

void Worker::send_dumps(const Value& value) {
    zmq::message_t message = encoded(value);
    send_message(message, zmq::send_flags::none);
    // A watch's events are read as the worker is used, so that they never pile up.
    (void)peer_answers_within(std::chrono::milliseconds(0));
}

void Worker::send_dumps_id(const std::string& identity, const Value& value) {
    // Encoded and checked before the identity frame leaves: a refused reply never leaves half
    // a message behind to carry the next one to the wrong peer.
    zmq::message_t payload = encoded(value);
    zmq::message_t address(identity.data(), identity.size());
    send_message(address, zmq::send_flags::sndmore);
    send_message(payload, zmq::send_flags::none);
}

}  // namespace zelt
