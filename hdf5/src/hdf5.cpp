#include <poll.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <brennic/hdf5.hpp>
#include <cstdio>
#include <cstring>
#include <thread>
#include <zelt/Curve.hpp>
#include <zelt/Fd.hpp>
#include <zelt/codec.hpp>
#include <zelt/storageParser.hpp>

namespace brennic {

namespace {

constexpr long long default_reply_timeout_ms = 600000;

constexpr long long default_linger_ms = 5000;
// A waiting call whose worker has had no service connected for this long gives up: nobody
// answers at that address. A connected service, however busy, is waited for.
constexpr std::chrono::milliseconds unreachable_after{4000};
constexpr int heartbeat_ms = 1000;
constexpr long long default_send_hwm = 256;

// `linger_ms`, when given, replaces the configured one.
zelt::Worker client_worker(const zelt::storageParser& config,
                           std::optional<int> linger_ms = std::nullopt) {
    zelt::WorkerOptions options;
    // A program that makes frames faster than the service takes them waits in its send
    // instead of queueing gigabytes of them in its own memory.
    options.send_hwm = static_cast<int>(config.number_or("corvane", "send_hwm", default_send_hwm));
    // Requests sent just before the program ends still reach a running service; a program
    // whose service is gone waits this long at exit, not for ever.
    options.linger_ms =
        linger_ms ? *linger_ms
                  : static_cast<int>(config.number_or("corvane", "linger_ms", default_linger_ms));
    // The service drops larger requests unread: they are refused here, before they leave.
    options.max_message_bytes =
        config.number_or("corvane", "max_message_bytes", zelt::default_max_message_bytes);
    options.heartbeat_ms = heartbeat_ms;
    // A one-way request waits in its send while the service is busy, never for ever.
    options.give_up_after_ms = static_cast<int>(unreachable_after.count());
    zelt::use_client_curve(config, options);
    // One identity for the life of the proxy, so that a restarted service counts its requests
    // on: 16 random bytes, the first never zero (ZeroMQ keeps those for itself).
    unsigned char random[16];
    if (::getrandom(random, sizeof random, 0) == static_cast<ssize_t>(sizeof random)) {
        random[0] |= 0x80;
        options.routing_id.assign(reinterpret_cast<const char*>(random), sizeof random);
    }
    return zelt::Worker(zelt::DEALER, config.get("corvane", "ip"), config.get("corvane", "port"),
                        true, options);
}

// The next message within `timeout`, or nothing. Throws ServiceError, naming `what`, once no
// service has been connected for unreachable_after.
std::optional<Value> next_message(zelt::Worker& worker, std::chrono::milliseconds timeout,
                                  const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const auto slice =
            std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(200));
        if (auto message = worker.recv_loads(slice)) return message;
        if (!worker.peer_answers_within(unreachable_after)) {
            throw ServiceError(what + ": nobody answers at " + worker.endpoint() +
                               " (is the service running? start it with `brennic`, or "
                               "`systemctl start brennic`; ZELT_CONFIG names the address)");
        }
        if (left.count() <= 0) return std::nullopt;
    }
}

// Arrays smaller than this go inline: a slot costs a release message.
constexpr std::size_t local_min_bytes = 64 * 1024;
// The slots of the ring attached at open; a larger frame attaches a ring of its own size.
constexpr std::size_t open_slot_bytes = 1 << 20;

}  // namespace

// Whether the process at the other end of `socket` is root or the service's user. Anyone
// who can bind the socket's name first would otherwise read every frame sent there.
bool served_by_service(int socket, const std::string& path, const std::string& service_user) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
    if (peer.uid == 0) return true;
    std::optional<uid_t> expected;
    if (service_user.empty()) {
        const auto slash = path.rfind('/');
        const std::string directory = slash == std::string::npos ? "."
                                      : slash == 0               ? "/"
                                                                 : path.substr(0, slash);
        struct stat info {};
        if (::stat(directory.c_str(), &info) == 0) expected = info.st_uid;
    } else if (service_user.find_first_not_of("0123456789") == std::string::npos) {
        expected = static_cast<uid_t>(std::stoul(service_user));
    } else if (const passwd* user = ::getpwnam(service_user.c_str())) {
        expected = user->pw_uid;
    }
    if (expected && peer.uid == *expected) return true;
    std::fprintf(stderr,
                 "brennic: the local socket %s is served by uid %u, not the service's user; "
                 "frames go over TCP\n",
                 path.c_str(), static_cast<unsigned>(peer.uid));
    return false;
}

// A ring of slots in shared memory, attached over the service's local socket, which stays
// open: its end tells the proxy that the service is gone.
class LocalRing {
  public:
    ~LocalRing() {
        if (address_) ::munmap(address_, size_);
    }
    // Attaches, or returns nothing when the service cannot be reached there, refuses, or is
    // not who serves the socket: frames go only to a process of root or of `service_user`
    // (a name or uid; empty: the owner of the socket's directory).
    static std::unique_ptr<LocalRing> attach(const std::string& path, std::uint32_t slots,
                                             std::size_t slot_bytes,
                                             const std::string& service_user,
                                             const std::string& port, bool& foreign) {
        auto ring = std::unique_ptr<LocalRing>(new LocalRing);
        ring->socket_ = zelt::Fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        const int socket = ring->socket_.get();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (!ring->socket_ || path.size() >= sizeof address.sun_path) return nullptr;
        std::strcpy(address.sun_path, path.c_str());
        if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return nullptr;
        }
        if (!served_by_service(socket, path, service_user)) return nullptr;
        const std::string request =
            zelt::dumps(Map{{"slots", static_cast<std::int64_t>(slots)},
                            {"slot_bytes", static_cast<std::int64_t>(slot_bytes)},
                            {"port", port}});
        if (::send(socket, request.data(), request.size(), MSG_NOSIGNAL) < 0) return nullptr;
        pollfd wait{socket, POLLIN, 0};
        if (::poll(&wait, 1, 2000) <= 0) return nullptr;
        char buffer[512];
        iovec io{buffer, sizeof buffer};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t got = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
        zelt::Fd fd;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                int received = -1;
                std::memcpy(&received, CMSG_DATA(c), sizeof received);
                fd = zelt::Fd(received);
            }
        }
        if (got <= 0) return nullptr;
        try {
            const Value reply = zelt::loads(buffer, static_cast<std::size_t>(got));
            const Map& fields = *reply.as<Map>();
            // Only the ring of the service at the configured address: another's would take
            // frames whose requests go elsewhere. Such a socket is not tried again.
            const Value* served = zelt::find(fields, "port");
            if (!served || !served->as<std::string>() || *served->as<std::string>() != port) {
                foreign = served != nullptr;
                std::fprintf(stderr,
                             "brennic: the local socket %s is not the service's on port %s; "
                             "frames go over TCP\n",
                             path.c_str(), port.c_str());
                return nullptr;
            }
            if (!fd) return nullptr;
            ring->token_ = *zelt::find(fields, "token")->as<std::string>();
            ring->slots_ =
                static_cast<std::uint32_t>(*zelt::find(fields, "slots")->as<std::int64_t>());
            ring->slot_bytes_ =
                static_cast<std::size_t>(*zelt::find(fields, "slot_bytes")->as<std::int64_t>());
        } catch (const std::exception&) {
            return nullptr;
        }
        ring->size_ = ring->slots_ * ring->slot_bytes_;
        // The mapping keeps the memory; its descriptor goes.
        void* mapped =
            ::mmap(nullptr, ring->size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
        if (mapped == MAP_FAILED) return nullptr;
        ring->address_ = static_cast<char*>(mapped);
        ring->in_use_.assign(ring->slots_, false);
        ring->lent_.assign(ring->slots_, false);
        return ring;
    }

    std::size_t slot_bytes() const { return slot_bytes_; }
    const std::string& token() const { return token_; }
    bool service_gone() const {
        pollfd check{socket_.get(), POLLIN, 0};
        return ::poll(&check, 1, 0) > 0 && (check.revents & (POLLHUP | POLLERR | POLLIN));
    }
    // A free slot, lent to the program until it is sent.
    std::optional<LocalSlot> take_free() {
        for (std::uint32_t i = 0; i < slots_; ++i) {
            if (!in_use_[i]) {
                in_use_[i] = true;
                lent_[i] = true;
                return LocalSlot{address_ + i * slot_bytes_, slot_bytes_, i};
            }
        }
        return std::nullopt;
    }
    // Marks a lent slot as sent: false when it was sent already or never lent.
    bool send_once(std::uint64_t slot) {
        if (slot >= slots_ || !lent_[slot]) return false;
        lent_[slot] = false;
        return true;
    }
    void give_back(std::uint64_t slot) {
        if (slot < slots_ && !lent_[slot]) in_use_[slot] = false;
    }
    bool idle() const {
        return std::none_of(in_use_.begin(), in_use_.end(), [](bool b) { return b; });
    }
    bool lends() const {
        return std::any_of(lent_.begin(), lent_.end(), [](bool b) { return b; });
    }
    bool holds(const char* data) const { return data >= address_ && data < address_ + size_; }

  private:
    LocalRing() = default;
    zelt::Fd socket_;
    char* address_ = nullptr;
    std::size_t size_ = 0;
    std::string token_;
    std::uint32_t slots_ = 0;
    std::size_t slot_bytes_ = 0;
    std::vector<bool> in_use_;
    std::vector<bool> lent_;  // lent to the program and not sent yet
};

hdf5::hdf5(hdf5&&) noexcept = default;
hdf5& hdf5::operator=(hdf5&&) noexcept = default;
hdf5::~hdf5() = default;

hdf5::hdf5(std::string path, std::string address, std::string service_port, zelt::Worker connection)
    : hdf5(std::move(path), std::move(address), std::move(service_port), std::move(connection),
           zelt::storageParser()) {}

hdf5::hdf5(std::string path, std::string address, std::string service_port, zelt::Worker connection,
           const zelt::storageParser& config)
    : filepath(std::move(path)),
      ip(std::move(address)),
      port(std::move(service_port)),
      worker(std::move(connection)),
      reply_timeout_(config.number_or("corvane", "reply_timeout_ms", default_reply_timeout_ms)) {
    local_socket_ = config.get_or("corvane", "local_socket", zelt::default_local_socket(port));
    local_service_user_ = config.get_or("corvane", "local_service_user", "");
    local_slots_ = static_cast<std::uint32_t>(config.number_or("corvane", "local_slots", 16));
}

bool hdf5::has_local_path() { return ring_ != nullptr; }

bool hdf5::absorb(const Value& message) {
    const Map* fields = message.as<Map>();
    const Value* slots = fields ? zelt::find(*fields, "release") : nullptr;
    if (!slots) return false;
    const Value* token = zelt::find(*fields, "token");
    if (ring_ && token && *token == Value(ring_->token()) && slots->as<List>()) {
        for (const auto& slot : *slots->as<List>()) {
            if (const auto* n = slot.as<std::int64_t>())
                ring_->give_back(static_cast<std::uint64_t>(*n));
        }
    }
    return true;
}

bool hdf5::try_attach(std::size_t slot_bytes) {
    if (ring_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (local_socket_ == "off" || now < next_attach_) return false;
    bool foreign = false;
    ring_ = LocalRing::attach(local_socket_, local_slots_, slot_bytes, local_service_user_, port,
                              foreign);
    if (foreign) local_socket_ = "off";
    next_attach_ = now + std::chrono::milliseconds(100);
    if (ring_) ring_lost_ = false;
    return ring_ != nullptr;
}

void hdf5::drop_ring() {
    if (ring_->lends()) retired_.push_back(std::move(ring_));
    ring_.reset();
    next_attach_ = {};
}

LocalRing* hdf5::live_ring(std::size_t bytes) {
    if (ring_ && ring_->service_gone()) {
        drop_ring();
        ring_lost_ = true;
    }
    if (ring_ && bytes > ring_->slot_bytes() && ring_->idle()) drop_ring();
    try_attach(std::max(bytes, open_slot_bytes));
    return ring_.get();
}

std::optional<LocalSlot> hdf5::take_slot(std::size_t bytes, bool wait_for_service) {
    const auto started = std::chrono::steady_clock::now();
    const auto deadline = started + reply_timeout_;
    while (true) {
        // Releases the service sent since: slots it has written.
        while (auto message = worker.recv_loads(std::chrono::milliseconds(0))) absorb(*message);
        LocalRing* ring = live_ring(bytes);
        if (!ring) {
            // A service that went away is given a few seconds for another to take its place.
            if (!wait_for_service) return std::nullopt;
            if (!ring_lost_) throw ServiceError("no local path to the service at " + local_socket_);
            if (std::chrono::steady_clock::now() - started > unreachable_after) {
                throw ServiceError("the service at " + local_socket_ +
                                   " has gone away, and no other has taken its place");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (bytes > ring->slot_bytes()) {
            if (!wait_for_service) return std::nullopt;
            throw ServiceError("an array of " + std::to_string(bytes) +
                               " bytes does not fit a slot of " +
                               std::to_string(ring->slot_bytes()) + " while slots are in use");
        }
        if (auto slot = ring->take_free()) return slot;
        if (std::chrono::steady_clock::now() > deadline) {
            throw ServiceError("no slot came free within " +
                               std::to_string(reply_timeout_.count()) + " ms");
        }
        if (auto message = worker.recv_loads(std::chrono::milliseconds(20))) absorb(*message);
    }
}

LocalSlot hdf5::local_slot(std::size_t bytes) { return *take_slot(bytes, true); }

NdArray hdf5::slot_array(const LocalSlot& slot, const std::string& typestr,
                         std::vector<std::uint64_t> shape) {
    LocalRing* ring = ring_ && ring_->holds(slot.data) ? ring_.get() : nullptr;
    for (const auto& retired : retired_) {
        if (retired->holds(slot.data)) ring = retired.get();
    }
    if (!ring) throw ServiceError("the slot is of no ring of this proxy");
    NdArray array = NdArray::view(typestr, std::move(shape), slot.data);
    if (array.size_bytes() > slot.size) throw ServiceError("the array does not fit its slot");
    // A slot carries one frame: sent twice, the service would read whatever it holds last.
    if (!ring->send_once(slot.index)) {
        throw ServiceError("slot " + std::to_string(slot.index) +
                           " was sent already; take a new slot for each frame");
    }
    return array.with_slot({ring->token(), slot.index});
}

void hdf5::inline_retired_slots(Map& record) {
    Value* map = zelt::find(record, "map");
    if (!map || !map->as<Map>()) return;
    for (auto& [name, value] : *map->as<Map>()) {
        const NdArray* array = value.as<NdArray>();
        if (!array || !array->slot() || (ring_ && array->slot()->token == ring_->token())) continue;
        const bool retired = std::any_of(retired_.begin(), retired_.end(), [&](const auto& ring) {
            return ring->token() == array->slot()->token;
        });
        if (!retired) {
            // Its ring serves the proxy that lent it, and only there does the slot come back.
            throw ServiceError("\"" + name + "\" is a slot of another proxy's ring; send it " +
                               "through the proxy whose local_slot() lent it, or send a copy");
        }
        // Filled before its service went away: the next service never saw that ring.
        value = array->owned_copy();
    }
}

Map hdf5::through_ring(const Map& m, std::vector<std::uint64_t>& taken) {
    if (local_socket_ == "off") return m;
    Map out;
    out.reserve(m.size());
    for (const auto& [name, value] : m) {
        const NdArray* array = value.as<NdArray>();
        // A frame compressed by its sender goes inline: a slot carries elements only.
        if (!array || array->slot() || array->precompressed() ||
            array->size_bytes() < local_min_bytes) {
            out.emplace_back(name, value);
            continue;
        }
        // Without a ring for it (the service gone, say), the frame goes through the socket.
        std::optional<LocalSlot> slot = take_slot(array->size_bytes(), false);
        if (!slot) {
            out.emplace_back(name, value);
            continue;
        }
        taken.push_back(slot->index);
        std::memcpy(slot->data, array->data(), array->size_bytes());
        out.emplace_back(name, slot_array(*slot, array->typestr(), array->shape()));
    }
    return out;
}

hdf5 hdf5::open(const std::string& filepath) { return open(filepath, Map{}); }

hdf5 hdf5::open(const std::string& filepath, const Map& kwargs,
                std::optional<std::chrono::milliseconds> timeout) {
    const zelt::storageParser config;
    std::string ip = config.get("corvane", "ip");
    std::string port = config.get("corvane", "port");
    // The configuration is read once per open.
    hdf5 proxy(filepath, ip, port, client_worker(config), config);
    const auto configured = proxy.reply_timeout_;
    if (timeout) proxy.reply_timeout_ = *timeout;
    proxy.send_with(Map{{"type", "open"}, {"filepath", filepath}}, kwargs);
    proxy.reply_timeout_ = configured;
    // On the service's host, frames go through shared memory from the first one.
    if (proxy.local_socket_ != "off") proxy.try_attach(open_slot_bytes);
    return proxy;
}

void hdf5::clossAll() {
    const zelt::storageParser config;
    zelt::Worker worker = client_worker(config);
    worker.send_dumps(Map{{"type", "closeAll"}});
}

Map hdf5::status(std::optional<std::chrono::milliseconds> timeout) {
    const zelt::storageParser config;
    // A question: unanswered, it is dropped at once, not kept for a service that may come.
    zelt::Worker worker = client_worker(config, /*linger_ms=*/0);
    worker.send_dumps(Map{{"type", "status"}, {"block", true}});
    const std::chrono::milliseconds wait =
        timeout ? *timeout
                : std::chrono::milliseconds(
                      config.number_or("corvane", "reply_timeout_ms", default_reply_timeout_ms));
    std::optional<Value> reply = next_message(worker, wait, "status");
    if (!reply) {
        throw ServiceError("status: the service at " + worker.endpoint() +
                           " did not answer within " + std::to_string(wait.count()) + " ms");
    }
    const Map* fields = reply->as<Map>();
    if (!fields) throw ServiceError("status: unexpected reply " + zelt::to_text(*reply));
    return *fields;
}

void hdf5::send_with(Map record, const Map& kwargs, const std::vector<std::uint64_t>& taken) {
    for (const auto& [key, value] : kwargs) zelt::put(record, key, value);
    const std::string what =
        *zelt::find(record, "type")->as<std::string>() + " \"" + filepath + "\"";
    try {
        inline_retired_slots(record);
    } catch (const ServiceError& error) {
        if (ring_) {
            for (std::uint64_t slot : taken) ring_->give_back(slot);
        }
        throw ServiceError(what + ": " + error.what());
    }
    // Counted per proxy, for its own file: a gap tells the service that requests were lost on
    // the way. A request that names another file is not counted.
    const Value* path = zelt::find(record, "filepath");
    const bool counted = path && *path == Value(filepath);
    if (counted) zelt::put(record, "seq", static_cast<std::int64_t>(++sent_));
    const Value* block = zelt::find(record, "block");
    const bool waits = block && zelt::is_true(*block);
    try {
        worker.send_dumps(record);
    } catch (const zelt::Error& error) {
        // Never sent: the slots filled for it go back to the ring, and its number too.
        if (ring_) {
            for (std::uint64_t slot : taken) ring_->give_back(slot);
        }
        if (counted) --sent_;
        throw ServiceError(what + ": " + error.what());
    }
    // Every request that asks for a reply waits for its own, so that no reply is ever left
    // for a later request to take as its own.
    if (waits) await_reply(what, counted ? sent_ : 0);
}

void hdf5::create_dataset_map(const Map& m) {
    if (m.empty()) return;
    send_with(Map{{"type", "create_dataset_map"}, {"filepath", filepath}, {"map", m}}, {});
}

void hdf5::create_dataset_append(const List& l) {
    if (l.empty()) return;
    send_with(
        Map{{"type", "create_dataset_append"}, {"filepath", filepath}, {"dataset_info_list", l}},
        {});
}

void hdf5::create_dataset_append_split(const List& l) {
    if (l.empty()) return;
    send_with(
        Map{{"type", "create_dataset_append_split"}, {"filepath", filepath}, {"datainfolist", l}},
        {});
}

void hdf5::dataset_append_map(const Map& m, const Map& kwargs) {
    if (m.empty()) return;
    std::vector<std::uint64_t> taken;
    Map record{
        {"type", "dataset_append_map"}, {"filepath", filepath}, {"map", through_ring(m, taken)}};
    send_with(std::move(record), kwargs, taken);
}

void hdf5::dataset_append_split_map(const Map& m, const Map& kwargs) {
    if (m.empty()) return;
    std::vector<std::uint64_t> taken;
    Map record{{"type", "dataset_append_split_map"},
               {"filepath", filepath},
               {"map", through_ring(m, taken)}};
    send_with(std::move(record), kwargs, taken);
}

void hdf5::close(const Map& kwargs) {
    send_with(Map{{"type", "close"}, {"filepath", filepath}}, kwargs);
}

void hdf5::await_reply(const std::string& what, std::int64_t seq) {
    const auto deadline = std::chrono::steady_clock::now() + reply_timeout_;
    std::optional<Value> reply;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        reply = next_message(worker, std::max(left, std::chrono::milliseconds(0)), what);
        if (!reply) break;
        // Slot releases come on the same connection.
        if (absorb(*reply)) continue;
        // A numbered request's reply carries its number: anything else is not its reply (an
        // answer to a message the service could not read, say), and is skipped.
        const Map* fields = reply->as<Map>();
        const Value* number = fields ? zelt::find(*fields, "seq") : nullptr;
        if (seq == 0 || (number && *number == Value(seq))) break;
        std::fprintf(stderr, "brennic: %s: skipped a reply that is not its own: %s\n", what.c_str(),
                     zelt::printable(zelt::to_text(*reply), 512).c_str());
    }
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
