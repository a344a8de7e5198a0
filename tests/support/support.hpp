#pragma once

#include <hdf5.h>
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>
#include <zelt/Value.hpp>

struct rd_kafka_s;
struct rd_kafka_mock_cluster_s;
namespace RdKafka {
class KafkaConsumer;
}

namespace support {

using namespace std::chrono_literals;

// A fresh directory per test, removed afterwards unless BRENNIC_KEEP_TEST_FILES is set.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
int free_port();

std::string read_text(const std::string& path);
// The lines of a file, without their line ends.
std::vector<std::string> read_lines(const std::string& path);

// Writes a configuration file and points ZELT_CONFIG at it for as long as it lives.
class ZeltConfig {
  public:
    // `corvane_extra` is added to section "corvane" as it stands.
    ZeltConfig(const TempDir& dir, int port, const std::string& bootstrap_servers,
               const std::string& corvane_extra = "", int vesk_timeout_ms = 3000);
    ~ZeltConfig();
    ZeltConfig(const ZeltConfig&) = delete;
    ZeltConfig& operator=(const ZeltConfig&) = delete;
    const std::string& path() const { return path_; }
    int port() const { return port_; }

  private:
    std::string path_;
    int port_;
    std::optional<std::string> previous_;
};

// Writes `values` as the int64 dataset `dataset` of a new file at `path` (replacing any file
// there): a file planted by someone else, for instance a block of another scan.
void write_int64s(const std::string& path, const std::string& dataset,
                  const std::vector<std::int64_t>& values);

// Reads back what the service wrote, through HDF5.
class H5Reader {
  public:
    explicit H5Reader(const std::string& path);
    ~H5Reader();
    H5Reader(const H5Reader&) = delete;
    H5Reader& operator=(const H5Reader&) = delete;

    bool exists(const std::string& path) const;
    // "int64", "uint16", "float64", "bool", "vlen-utf8", "vlen-ascii", "fixed-string", ...
    std::string type(const std::string& path) const;
    std::vector<hsize_t> shape(const std::string& path) const;  // empty for a scalar
    std::int64_t int64(const std::string& path) const;
    double float64(const std::string& path) const;
    std::string text(const std::string& path) const;
    std::vector<std::int64_t> int64s(const std::string& path) const;
    std::vector<double> float64s(const std::string& path) const;
    std::vector<std::uint16_t> uint16s(const std::string& path) const;
    std::vector<std::string> texts(const std::string& path) const;
    // The file name and object path an external link stores.
    std::pair<std::string, std::string> external_link(const std::string& path) const;
    std::vector<std::string> members(const std::string& group) const;

  private:
    hid_t file_;
    std::string name_;
};

// librdkafka's mock cluster with three brokers and the topics "Calyxo1" and "scan-progress",
// read by real consumers from the first offset.
class MockKafka {
  public:
    MockKafka();
    ~MockKafka();
    MockKafka(const MockKafka&) = delete;
    MockKafka& operator=(const MockKafka&) = delete;
    const std::string& bootstrap() const { return bootstrap_; }
    // Takes all brokers down (they refuse connections) or brings them back, with a new consumer.
    void set_down(bool down);
    // Waits until `count` messages have arrived in all, or `timeout` passed; returns all so far.
    std::vector<std::string> messages(std::size_t count, std::chrono::milliseconds timeout = 10s);
    // As messages(), of the topic "scan-progress".
    std::vector<std::string> progress(std::size_t count, std::chrono::milliseconds timeout = 10s);

  private:
    // A consumer of `topic`'s only partition from `offset` on.
    std::unique_ptr<RdKafka::KafkaConsumer> consumer_of(const std::string& topic,
                                                        std::int64_t offset) const;
    // A consumer of "Calyxo1" from `offset` on, in place of the last.
    void connect(std::int64_t offset);

    rd_kafka_s* host_ = nullptr;
    rd_kafka_mock_cluster_s* cluster_ = nullptr;
    std::unique_ptr<RdKafka::KafkaConsumer> consumer_;
    std::unique_ptr<RdKafka::KafkaConsumer> progress_consumer_;
    std::string bootstrap_;
    std::vector<std::string> received_;
    std::vector<std::string> progress_;
};

// The built brennic program, started with ZELT_CONFIG; its standard output and error go to
// files in `dir`. The destructor kills it if it still runs.
class ServiceProcess {
  public:
    ServiceProcess(const TempDir& dir, const std::string& config,
                   std::vector<std::string> args = {}, const std::string& name = "brennic");
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // The exit status once it has ended within `timeout`; nothing if it still runs.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = 10s);
    void signal(int number);
    int pid() const { return pid_; }
    std::string out() const { return read_text(out_path_); }
    std::string err() const { return read_text(err_path_); }
    // Waits until the standard output holds `count` lines.
    std::vector<std::string> out_lines(std::size_t count, std::chrono::milliseconds timeout = 10s);

  private:
    int pid_ = -1;
    std::optional<int> status_;
    std::string out_path_;
    std::string err_path_;
};

// While it lives, no file of this process may grow past `bytes` (RLIMIT_FSIZE): a write past
// it fails with "File too large", as on a full disk, instead of raising SIGXFSZ.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(std::uint64_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    struct sigaction previous_ {};
    rlimit old_limit_{};
};

// A raw client: one DEALER socket on the configured endpoint.
class Client {
  public:
    explicit Client(int port);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    void send(const zelt::Value& record);
    void send_bytes(const std::string& payload);
    void send_frames(const std::vector<std::string>& frames);
    std::optional<zelt::Value> reply(std::chrono::milliseconds timeout = 10s);
    // Sends with "block" true and returns the reply; fails the test when none comes.
    zelt::Value call(zelt::Map record, std::chrono::milliseconds timeout = 10s);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The service's reply {"ret": "ok"}.
const zelt::Value& ok();
// True when `reply` is an error reply whose message holds `part`.
bool is_error_with(const zelt::Value& reply, const std::string& part);

}  // namespace support
