#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <zelt/Fd.hpp>
#include <zelt/Value.hpp>

namespace zelt {
class storageParser;
}

namespace brennic {

// Who may attach, and how large a ring may be: section "corvane" of the configuration.
struct LocalSettings {
    // "local_socket"; empty: no local path. The default, /run/brennic/brennic-PORT.sock, lies
    // in a directory only the service's user may write.
    std::string socket_path;
    // The service's TCP port: a client attaches only to the ring of the service it sends to.
    std::string port;
    std::vector<uid_t> users;      // "local_users" (names or ids); the service's own user always
    std::vector<gid_t> groups;     // "local_groups", primary or supplementary
    std::uint32_t max_slots = 64;  // "local_max_slots"
    std::uint64_t max_ring_bytes = 1ull << 30;   // "local_ring_mib"
    std::uint32_t max_rings_per_client = 8;      // "local_max_rings_per_client" (per uid)
    std::uint64_t max_total_bytes = 4ull << 30;  // "local_ring_mib_total"

    // A user or group that does not exist is left out with a WARNING. Throws zelt::Error for a
    // bad number.
    static LocalSettings from(const zelt::storageParser& config, const std::string& port);
};

// The same-host path for frames: clients attach on a local socket (AF_UNIX, SOCK_SEQPACKET)
// and get a ring of slots in shared memory (a sealed memfd, passed with the reply); they then
// send slot references instead of the frames' bytes. A thread of its own accepts clients and
// notices when one goes away; the request loop resolves references and releases slots.
class LocalRings {
  public:
    // Binds the socket (mode 0660) and starts accepting. Refuses (zelt::Error) a socket in a
    // directory that others than the service's user (or root) may write: whoever can write
    // there could put a socket of their own in its place.
    explicit LocalRings(LocalSettings settings);
    ~LocalRings();
    LocalRings(const LocalRings&) = delete;
    LocalRings& operator=(const LocalRings&) = delete;

    // The array over a slot a client filled, held until the array is dropped. Refuses an
    // unknown token, a slot out of range or already held, a size the slot cannot hold
    // (zelt::Error). A ring serves the ZeroMQ connection that first used its token and no
    // other: `identity` is that peer, which the release goes to.
    zelt::NdArray resolve(const std::string& typestr, std::vector<std::uint64_t> shape,
                          const std::string& token, std::uint64_t slot, std::uint64_t nbytes,
                          const std::string& identity);

    // The slots given back since the last call: per client identity, the message to send it.
    std::vector<std::pair<std::string, zelt::Map>> take_releases();
    // Unmaps the rings of clients that left, once nothing of theirs can still be waiting in
    // the service's queue. Call it when the service is idle.
    void drop_departed();

    const std::string& socket_path() const { return settings_.socket_path; }
    // The slots that requests hold, over all rings.
    std::size_t slots_in_use();

  private:
    struct Session;
    struct Hold;
    // A client accepted whose ring request has not arrived yet.
    struct Pending {
        zelt::Fd connection;
        ucred peer;
        std::chrono::steady_clock::time_point accepted;
    };
    // A client with a ring: the socket whose end tells that it left.
    struct Attached {
        zelt::Fd connection;
        std::shared_ptr<Session> session;
    };
    struct RingSize {
        std::uint64_t slots = 0;
        std::uint64_t slot_bytes = 0;
    };
    void run();
    void accept_one();
    // Whether the peer of `connection` may attach: by its user, or its primary or
    // supplementary groups.
    bool allowed(const ucred& peer, int connection) const;
    // Gives the client on `connection` a ring, or tells it why not.
    void attach(zelt::Fd connection, const ucred& peer);
    // The ring the client asks for, waiting on `connection`, checked against the bounds of
    // one ring and of all. Throws zelt::Error saying why it is refused.
    RingSize requested_ring(int connection, uid_t uid);
    void release(Session& session, std::uint64_t slot, const std::string& identity);

    LocalSettings settings_;
    zelt::Fd listen_fd_;
    zelt::Fd stop_fd_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Session>> by_token_;
    std::map<int, Attached> by_connection_;
    std::map<int, Pending> pending_;  // only the accepting thread touches it
    std::map<std::string, std::map<std::string, zelt::List>> released_;  // identity, token
    std::thread thread_;
};

}  // namespace brennic
