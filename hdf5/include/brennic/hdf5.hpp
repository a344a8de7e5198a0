#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>
#include <zelt/Value.hpp>
#include <zelt/Worker.hpp>

namespace zelt {
class storageParser;
}

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

// A slot of the shared ring, lent to the program to fill in place (zero copies).
struct LocalSlot {
    char* data = nullptr;
    std::size_t size = 0;
    std::uint64_t index = 0;
};

class LocalRing;

// One HDF5 file that the brennic service holds open for this program. Each method sends one
// request on the proxy's own DEALER worker; a request with a true "block" waits for its
// reply. Values are encoded straight into the outgoing message: a frame given as an NdArray
// view is copied once, there, unless it goes through a ring slot.
class hdf5 {
  public:
    hdf5(std::string filepath, std::string ip, std::string port, zelt::Worker worker);
    // As above, with the configuration already read (the reply time-out and the local path).
    hdf5(std::string filepath, std::string ip, std::string port, zelt::Worker worker,
         const zelt::storageParser& config);
    hdf5(hdf5&&) noexcept;
    hdf5& operator=(hdf5&&) noexcept;
    ~hdf5();

    // Reads "ip" and "port" of section "corvane", connects a worker of its own, sends
    // {"type": "open", "filepath": filepath} and returns the proxy. Does not wait: a refused
    // open is told by the next waiting call.
    static hdf5 open(const std::string& filepath);
    // The same with `kwargs` added to the request. With a true "block", waits until the file
    // is open: throws ServiceError naming the file when it cannot be, when no reply comes
    // within the reply time-out (`timeout`, when given), or within about 5 s when nobody
    // answers at the address.
    static hdf5 open(const std::string& filepath, const Map& kwargs,
                     std::optional<std::chrono::milliseconds> timeout = std::nullopt);
    // Asks the service to close every open file, on a connection of its own. Does not wait.
    static void clossAll();
    // Asks the service, on a connection of its own, what it holds: the reply map ("version",
    // "files", "notifications_pending", "failed_requests", ...). Waits at most `timeout`, else
    // "reply_timeout_ms"; throws ServiceError when no reply comes, within about 5 s when
    // nobody answers at the address.
    static Map status(std::optional<std::chrono::milliseconds> timeout = std::nullopt);

    // Each sends nothing when its argument is empty.
    void create_dataset_map(const Map& m);
    void create_dataset_append(const List& l);
    // Items are [name, splitSize], or [name, splitSize, options] with options such as
    // {"compression": "bslz4"}. A frame compressed by its sender is sent as
    // NdArray::precompressed(typestr, shape, "bslz4", chunk, size, owner).
    void create_dataset_append_split(const List& l);
    // Named arguments (identify, CTType, ...) follow the fixed keys and replace a fixed key
    // of the same name. With a true "block", each waits for its own reply, as close does.
    void dataset_append_map(const Map& m, const Map& kwargs = {});
    void dataset_append_split_map(const Map& m, const Map& kwargs = {});
    // With a true "block", waits for the service's reply: returns once the file is complete
    // and closed there. Throws ServiceError on an error reply or when no reply comes within
    // the reply time-out.
    void close(const Map& kwargs = {});

    // On the same host as the service, frames of split and appendable datasets travel through
    // a ring of shared memory instead of the socket: the proxy attaches at open ("local_socket"
    // of section "corvane"; "off" never) and copies each large array into a free slot (one
    // copy). An array larger than the slots attaches a ring of larger ones while no slot is
    // in use, else goes through the socket. When the service goes away (a restart), the frame
    // in hand goes through the socket, and the proxy attaches to the next service's ring as
    // soon as it is there. Whether this proxy uses the ring:
    bool has_local_path();
    // A free slot of at least `bytes` to fill in place; send it with slot_array(). Waits for
    // one to come free (at most the reply time-out); when the service went away, waits about
    // 5 s for another to take its place. Throws ServiceError without a local path, or on a
    // time-out. A slot filled before its service went away is sent through the socket.
    LocalSlot local_slot(std::size_t bytes);
    // The array of `typestr` and `shape` in a filled slot, to put into an append's map.
    NdArray slot_array(const LocalSlot& slot, const std::string& typestr,
                       std::vector<std::uint64_t> shape);

    // How long a waiting close waits: "reply_timeout_ms" of section "corvane", else ten
    // minutes.
    void set_reply_timeout(std::chrono::milliseconds timeout) { reply_timeout_ = timeout; }
    std::chrono::milliseconds reply_timeout() const { return reply_timeout_; }

    std::string filepath;
    std::string ip;
    std::string port;
    zelt::Worker worker;

  private:
    // Sends `record` with `kwargs` added; with a true "block", waits for its reply. Throws
    // ServiceError for a request that cannot be sent (larger than max_message_bytes, say:
    // the ring slots `taken` for it go back), an error reply, or none within the time-out.
    void send_with(Map record, const Map& kwargs, const std::vector<std::uint64_t>& taken = {});
    // Waits for the reply to the request numbered `seq` (0: the next reply), skipping others.
    void await_reply(const std::string& what, std::int64_t seq);
    // `m` with its large arrays copied into ring slots, whose indexes are added to `taken`,
    // when there is a local path; else `m` as it is.
    Map through_ring(const Map& m, std::vector<std::uint64_t>& taken);
    // Takes a release message; returns false for any other message.
    bool absorb(const Value& message);
    // The ring for arrays of `bytes`, its service checked to be there: a ring whose service
    // went away is dropped, and one of smaller slots, none in use, makes way for a larger one.
    LocalRing* live_ring(std::size_t bytes);
    void drop_ring();
    // A free slot of `bytes`; nothing when there is no ring for it and `wait_for_service` is
    // false. Throws ServiceError.
    std::optional<LocalSlot> take_slot(std::size_t bytes, bool wait_for_service);
    // Arrays of `record`'s map in slots of a ring that is gone are sent inline instead.
    void inline_retired_slots(Map& record);

    std::chrono::milliseconds reply_timeout_;
    std::unique_ptr<LocalRing> ring_;
    // Rings whose service went away while the program held slots of them: mapped until the
    // proxy ends, so that those slots stay valid to read.
    std::vector<std::unique_ptr<LocalRing>> retired_;
    bool ring_lost_ = false;  // a ring's service went away, and no ring took its place yet
    std::string local_socket_;
    std::string local_service_user_;  // who may serve the local socket; "": its directory's owner
    std::int64_t sent_ = 0;           // requests sent, each numbered by "seq"
    std::uint32_t local_slots_ = 16;
    // A client may start before its service: attaching is tried again now and then.
    std::chrono::steady_clock::time_point next_attach_{};
    bool try_attach(std::size_t slot_bytes);
};

}  // namespace brennic
