#include "LocalRings.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <spdlog/spdlog.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <zelt/codec.hpp>
#include <zelt/storageParser.hpp>

namespace brennic {

namespace {

std::string reason() { return std::strerror(errno); }

// A mapping of a ring, unmapped when the last array over it is gone.
struct Mapping {
    char* address = nullptr;
    std::size_t size = 0;
    ~Mapping() {
        if (address) ::munmap(address, size);
    }
};

std::vector<std::string> listed(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string item = text.substr(start, comma - start);
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (!item.empty()) out.push_back(item);
        start = comma + 1;
    }
    return out;
}

bool all_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

void send_reply(int connection, const zelt::Map& reply, int fd) {
    const std::string bytes = zelt::dumps(reply);
    iovec io{const_cast<char*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
    }
    (void)::sendmsg(connection, &message, MSG_NOSIGNAL);
}

}  // namespace

struct LocalRings::Session {
    std::string token;
    std::shared_ptr<Mapping> mapping;
    std::uint32_t slots = 0;
    std::uint64_t slot_bytes = 0;
    std::vector<bool> held;
    uid_t uid = 0;
    std::string owner;  // the ZeroMQ identity that sent its first reference
    std::optional<std::chrono::steady_clock::time_point> left;  // when the client went
};

// What keeps one slot held: dropped with the last array over it, which gives the slot back.
struct LocalRings::Hold {
    LocalRings* rings;
    std::shared_ptr<Session> session;
    std::shared_ptr<Mapping> mapping;  // the memory stays mapped while the array lives
    std::uint64_t slot;
    std::string identity;
    ~Hold() { rings->release(*session, slot, identity); }
};

LocalSettings LocalSettings::from(const zelt::storageParser& config, const std::string& port) {
    LocalSettings settings;
    settings.port = port;
    settings.socket_path =
        config.get_or("corvane", "local_socket", zelt::default_local_socket(port));
    if (settings.socket_path == "off") settings.socket_path.clear();
    for (const std::string& user : listed(config.get_or("corvane", "local_users", ""))) {
        if (all_digits(user)) {
            settings.users.push_back(static_cast<uid_t>(std::stoul(user)));
        } else if (const passwd* entry = ::getpwnam(user.c_str())) {
            settings.users.push_back(entry->pw_uid);
        } else {
            spdlog::warn("local_users: no user \"{}\" on this host; left out", user);
        }
    }
    for (const std::string& group : listed(config.get_or("corvane", "local_groups", ""))) {
        if (all_digits(group)) {
            settings.groups.push_back(static_cast<gid_t>(std::stoul(group)));
        } else if (const ::group* entry = ::getgrnam(group.c_str())) {
            settings.groups.push_back(entry->gr_gid);
        } else {
            spdlog::warn("local_groups: no group \"{}\" on this host; left out", group);
        }
    }
    settings.max_slots =
        static_cast<std::uint32_t>(config.number_or("corvane", "local_max_slots", 64));
    settings.max_ring_bytes =
        static_cast<std::uint64_t>(config.number_or("corvane", "local_ring_mib", 1024)) << 20;
    settings.max_rings_per_client =
        static_cast<std::uint32_t>(config.number_or("corvane", "local_max_rings_per_client", 8));
    settings.max_total_bytes =
        static_cast<std::uint64_t>(config.number_or("corvane", "local_ring_mib_total", 4096)) << 20;
    return settings;
}

LocalRings::LocalRings(LocalSettings settings) : settings_(std::move(settings)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (settings_.socket_path.size() >= sizeof address.sun_path) {
        throw zelt::Error("local_socket \"" + settings_.socket_path + "\" is too long");
    }
    std::strcpy(address.sun_path, settings_.socket_path.c_str());
    // Its directory is made when missing (/run/brennic, say), 0750: clients of the service's
    // group pass it, and nobody else may put a file there.
    const auto slash = settings_.socket_path.rfind('/');
    const std::string directory = slash == std::string::npos ? "."
                                  : slash == 0               ? "/"
                                               : settings_.socket_path.substr(0, slash);
    if (::mkdir(directory.c_str(), 0750) != 0 && errno != EEXIST) {
        throw zelt::Error("local_socket \"" + settings_.socket_path +
                          "\": make directory: " + reason());
    }
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0) {
        throw zelt::Error("local_socket \"" + settings_.socket_path + "\": " + reason());
    }
    if ((info.st_uid != ::geteuid() && info.st_uid != 0) || (info.st_mode & S_IWOTH) ||
        ((info.st_mode & S_IWGRP) && info.st_uid != ::geteuid())) {
        throw zelt::Error("local_socket \"" + settings_.socket_path + "\": its directory \"" +
                          directory +
                          "\" may be written by other users, who could put a socket of their "
                          "own in its place; use a directory only the service's user may write, "
                          "such as the unit's RuntimeDirectory /run/brennic");
    }
    listen_fd_ = zelt::Fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    // A socket file left by a service that was killed is taken over; a live one is not.
    ::unlink(settings_.socket_path.c_str());
    if (!listen_fd_ ||
        ::bind(listen_fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(settings_.socket_path.c_str(), 0660) != 0 || ::listen(listen_fd_.get(), 16) != 0) {
        throw zelt::Error("local_socket \"" + settings_.socket_path + "\": " + reason());
    }
    stop_fd_ = zelt::Fd(::eventfd(0, EFD_CLOEXEC));
    thread_ = std::thread([this] { run(); });
}

LocalRings::~LocalRings() {
    const std::uint64_t one = 1;
    (void)!::write(stop_fd_.get(), &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    ::unlink(settings_.socket_path.c_str());
}

void LocalRings::run() {
    constexpr auto attach_within = std::chrono::seconds(1);
    auto accept_again = std::chrono::steady_clock::time_point{};
    while (true) {
        const auto now = std::chrono::steady_clock::now();
        // A client that sends no ring request in time is dropped; the others wait for nobody.
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (now - it->second.accepted < attach_within) {
                ++it;
                continue;
            }
            it = pending_.erase(it);
        }
        // Out of descriptors: accepting is paused a little instead of failing in a loop.
        const bool accepting = now >= accept_again;
        std::vector<pollfd> fds{{stop_fd_.get(), POLLIN, 0},
                                {accepting ? listen_fd_.get() : -1, POLLIN, 0}};
        for (const auto& [fd, pending] : pending_) fds.push_back({fd, POLLIN, 0});
        const std::size_t sessions_from = fds.size();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& [fd, attached] : by_connection_) fds.push_back({fd, POLLIN, 0});
        }
        const int timeout_ms = pending_.empty() && accepting ? -1 : 100;
        if (::poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) return;
        if (fds[0].revents) return;
        if (fds[1].revents & POLLIN) {
            zelt::Fd connection(
                ::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            ucred peer{};
            socklen_t size = sizeof peer;
            if (connection &&
                ::getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) {
                const int fd = connection.get();
                pending_[fd] =
                    Pending{std::move(connection), peer, std::chrono::steady_clock::now()};
            } else if (!connection && (errno == EMFILE || errno == ENFILE || errno == ENOMEM ||
                                       errno == ENOBUFS)) {
                spdlog::warn("local clients: accept: {}; trying again in 100 ms", reason());
                accept_again = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
            }
        }
        for (std::size_t i = 2; i < sessions_from; ++i) {
            if (!fds[i].revents) continue;
            auto there = pending_.find(fds[i].fd);
            Pending pending = std::move(there->second);
            pending_.erase(there);
            attach(std::move(pending.connection), pending.peer);
        }
        for (std::size_t i = sessions_from; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            char byte;
            if (::recv(fds[i].fd, &byte, 1, MSG_DONTWAIT) > 0) continue;  // nothing to say
            // The client is gone. The references it sent before may still wait in the
            // service's queue: the ring stays until they are served, then goes.
            std::lock_guard<std::mutex> lock(mutex_);
            auto there = by_connection_.find(fds[i].fd);
            if (there == by_connection_.end()) continue;
            const Session& session = *there->second.session;
            spdlog::info("local client (uid {}) left; ring {} closes once its slots are served",
                         session.uid, session.token.substr(0, 8));
            there->second.session->left = std::chrono::steady_clock::now();
            by_connection_.erase(there);
        }
    }
}

bool LocalRings::allowed(const ucred& peer, int connection) const {
    if (peer.uid == ::getuid() || peer.uid == 0) return true;
    if (std::find(settings_.users.begin(), settings_.users.end(), peer.uid) !=
        settings_.users.end()) {
        return true;
    }
    if (settings_.groups.empty()) return false;
    // Primary and supplementary groups: members are added to a group as supplementary ones.
    // The peer's own, as the kernel gave them at connect (SO_PEERGROUPS); where the kernel
    // cannot tell, those the group database lists for its user.
    std::vector<gid_t> groups{peer.gid};
    std::vector<gid_t> supplementary(256);
    socklen_t size = static_cast<socklen_t>(supplementary.size() * sizeof(gid_t));
    if (connection >= 0 &&
        ::getsockopt(connection, SOL_SOCKET, SO_PEERGROUPS, supplementary.data(), &size) == 0) {
        supplementary.resize(size / sizeof(gid_t));
        groups.insert(groups.end(), supplementary.begin(), supplementary.end());
    } else if (const passwd* user = ::getpwuid(peer.uid)) {
        int count = 64;
        std::vector<gid_t> all(static_cast<std::size_t>(count));
        if (::getgrouplist(user->pw_name, peer.gid, all.data(), &count) < 0 && count > 0) {
            all.resize(static_cast<std::size_t>(count));
            ::getgrouplist(user->pw_name, peer.gid, all.data(), &count);
        }
        all.resize(static_cast<std::size_t>(std::max(count, 0)));
        groups.insert(groups.end(), all.begin(), all.end());
    }
    return std::any_of(groups.begin(), groups.end(), [&](gid_t gid) {
        return std::find(settings_.groups.begin(), settings_.groups.end(), gid) !=
               settings_.groups.end();
    });
}

namespace {

// A ring of `bytes` in shared memory: its descriptor, and the service's own read-only mapping
// in `mapping`. Allocated now, so that a client's write never meets a full tmpfs; sealed, so
// that neither side can shrink it under the other. Throws zelt::Error.
zelt::Fd make_ring(std::size_t bytes, Mapping& mapping) {
    zelt::Fd memfd(::memfd_create("brennic-ring", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!memfd || ::ftruncate(memfd.get(), static_cast<off_t>(bytes)) != 0 ||
        ::fallocate(memfd.get(), 0, 0, static_cast<off_t>(bytes)) != 0 ||
        ::fcntl(memfd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        throw zelt::Error("ring of " + std::to_string(bytes) + " bytes: " + reason());
    }
    void* address = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, memfd.get(), 0);
    if (address == MAP_FAILED) throw zelt::Error("map ring: " + reason());
    mapping.address = static_cast<char*>(address);
    mapping.size = bytes;
    return memfd;
}

// 16 random bytes in hex: a ring's secret. Throws zelt::Error.
std::string new_token() {
    unsigned char random[16];
    if (::getrandom(random, sizeof random, 0) != sizeof random) {
        throw zelt::Error("no random bytes for a ring's token: " + reason());
    }
    static const char hex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char c : random) {
        token += hex[c >> 4];
        token += hex[c & 15];
    }
    return token;
}

}  // namespace

LocalRings::RingSize LocalRings::requested_ring(int connection, uid_t uid) {
    // The request for a ring: {"slots": n, "slot_bytes": b}, already waiting.
    char buffer[512];
    const ssize_t got = ::recv(connection, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got <= 0) throw zelt::Error("no ring request");
    const zelt::Value request = zelt::loads(buffer, static_cast<std::size_t>(got));
    const auto* fields = request.as<zelt::Map>();
    const auto* n = fields ? zelt::find_or_null(*fields, "slots").as<std::int64_t>() : nullptr;
    const auto* b = fields ? zelt::find_or_null(*fields, "slot_bytes").as<std::int64_t>() : nullptr;
    if (!n || !b || *n < 1 || *b < 1) {
        throw zelt::Error("a ring request is {\"slots\", \"slot_bytes\"} >= 1");
    }
    // A client configured for another port reached this socket (one path for two services):
    // its requests go to the other service, which would never hear of this ring.
    const zelt::Value& port = zelt::find_or_null(*fields, "port");
    const std::string wanted =
        port.as<std::string>() ? *port.as<std::string>() : zelt::to_text(port);
    if (!port.is_null() && wanted != settings_.port) {
        throw zelt::Error("this local socket is the service's on port " + settings_.port +
                          ", not on port " + zelt::printable(wanted, 64) +
                          "; give each service a local_socket of its own");
    }
    const RingSize size{static_cast<std::uint64_t>(*n), static_cast<std::uint64_t>(*b)};
    if (size.slots > settings_.max_slots ||
        size.slot_bytes > settings_.max_ring_bytes / size.slots) {
        throw zelt::Error("a ring of " + std::to_string(size.slots) + " slots of " +
                          std::to_string(size.slot_bytes) + " bytes is more than local_max_slots " +
                          std::to_string(settings_.max_slots) + " or local_ring_mib " +
                          std::to_string(settings_.max_ring_bytes >> 20) + " allow");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint32_t rings_of_uid = 0;
    std::uint64_t total = 0;
    for (const auto& [token, session] : by_token_) {
        total += session->mapping->size;
        if (session->uid == uid) ++rings_of_uid;
    }
    if (rings_of_uid >= settings_.max_rings_per_client) {
        throw zelt::Error("uid " + std::to_string(uid) + " holds " + std::to_string(rings_of_uid) +
                          " rings already, as many as local_max_rings_per_client allows");
    }
    if (total + size.slots * size.slot_bytes > settings_.max_total_bytes) {
        throw zelt::Error("the rings held take " + std::to_string(total >> 20) +
                          " MiB; another of " +
                          std::to_string((size.slots * size.slot_bytes) >> 20) +
                          " MiB is more than local_ring_mib_total " +
                          std::to_string(settings_.max_total_bytes >> 20) + " allows");
    }
    return size;
}

void LocalRings::attach(zelt::Fd connection, const ucred& peer) {
    if (!allowed(peer, connection.get())) {
        spdlog::warn("local client uid {} gid {} refused: not in local_users or local_groups",
                     peer.uid, peer.gid);
        send_reply(connection.get(), {{"error", "not allowed: uid " + std::to_string(peer.uid)}},
                   -1);
        return;
    }
    auto mapping = std::make_shared<Mapping>();
    RingSize size;
    zelt::Fd memfd;
    std::string token;
    try {
        size = requested_ring(connection.get(), peer.uid);
        memfd = make_ring(size.slots * size.slot_bytes, *mapping);
        token = new_token();
    } catch (const zelt::Error& error) {
        spdlog::warn("local client uid {} refused: {}", peer.uid, error.what());
        send_reply(connection.get(), {{"error", error.what()}, {"port", settings_.port}}, -1);
        return;
    }
    auto session = std::make_shared<Session>();
    session->token = token;
    session->mapping = mapping;
    session->slots = static_cast<std::uint32_t>(size.slots);
    session->slot_bytes = size.slot_bytes;
    session->held.assign(size.slots, false);
    session->uid = peer.uid;
    // Known before the client hears of it: its first reference may follow at once.
    const int fd = connection.get();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        by_token_[token] = session;
        by_connection_[fd] = Attached{std::move(connection), session};
    }
    send_reply(fd,
               {{"token", token},
                {"port", settings_.port},
                {"slots", static_cast<std::int64_t>(size.slots)},
                {"slot_bytes", static_cast<std::int64_t>(size.slot_bytes)}},
               memfd.get());
    // The client holds the ring's descriptor now; the service keeps its mapping.
    spdlog::info("local client (uid {}) attached: ring {} of {} slots of {} bytes", peer.uid,
                 token.substr(0, 8), size.slots, size.slot_bytes);
}

zelt::NdArray LocalRings::resolve(const std::string& typestr, std::vector<std::uint64_t> shape,
                                  const std::string& token, std::uint64_t slot,
                                  std::uint64_t nbytes, const std::string& identity) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto there = by_token_.find(token);
    if (there == by_token_.end()) throw zelt::Error("slot reference: unknown ring token");
    Session& session = *there->second;
    // A token is a ring's secret only as long as nobody else has seen it: the ring serves
    // the one connection that used it first, and its releases go there.
    if (session.owner.empty()) session.owner = identity;
    if (session.owner != identity) {
        // The slot goes back to the connection the ring serves: the frame in it is not
        // written, and its owner may fill it again.
        if (slot < session.slots && !session.held[slot] && !session.left) {
            released_[session.owner][session.token].push_back(static_cast<std::int64_t>(slot));
        }
        throw zelt::Error("slot reference: ring " + token.substr(0, 8) +
                          " belongs to another connection");
    }
    if (slot >= session.slots) {
        throw zelt::Error("slot reference: slot " + std::to_string(slot) + " of a ring of " +
                          std::to_string(session.slots));
    }
    if (nbytes > session.slot_bytes) {
        throw zelt::Error("slot reference: " + std::to_string(nbytes) + " bytes in a slot of " +
                          std::to_string(session.slot_bytes));
    }
    if (session.held[slot])
        throw zelt::Error("slot reference: slot " + std::to_string(slot) + " is already held");
    const char* data = session.mapping->address + slot * session.slot_bytes;
    // The array checks that the type and shape take exactly nbytes; only then is it held.
    zelt::NdArray probe(typestr, shape, data, nbytes, nullptr);
    session.held[slot] = true;
    auto hold =
        std::shared_ptr<Hold>(new Hold{this, there->second, session.mapping, slot, identity});
    return zelt::NdArray(typestr, std::move(shape), data, nbytes, std::move(hold)).as_borrowed();
}

void LocalRings::release(Session& session, std::uint64_t slot, const std::string& identity) {
    std::lock_guard<std::mutex> lock(mutex_);
    session.held[slot] = false;
    if (!session.left) {  // nobody to tell once the client has gone
        released_[identity][session.token].push_back(static_cast<std::int64_t>(slot));
    }
}

void LocalRings::drop_departed() {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    for (auto it = by_token_.begin(); it != by_token_.end();) {
        const Session& session = *it->second;
        const bool idle =
            std::none_of(session.held.begin(), session.held.end(), [](bool b) { return b; });
        if (session.left && idle && now - *session.left > std::chrono::seconds(10)) {
            it = by_token_.erase(it);
        } else {
            ++it;
        }
    }
}

std::vector<std::pair<std::string, zelt::Map>> LocalRings::take_releases() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (released_.empty()) return {};
    std::vector<std::pair<std::string, zelt::Map>> out;
    for (auto& [identity, by_token] : released_) {
        for (auto& [token, slots] : by_token) {
            out.emplace_back(identity, zelt::Map{{"release", std::move(slots)}, {"token", token}});
        }
    }
    released_.clear();
    return out;
}

std::size_t LocalRings::slots_in_use() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t held = 0;
    for (const auto& [token, session] : by_token_) {
        held +=
            static_cast<std::size_t>(std::count(session->held.begin(), session->held.end(), true));
    }
    return held;
}

}  // namespace brennic
