#include "support.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>
#include <librdkafka/rdkafkacpp.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <zelt/codec.hpp>
#include <zmq.hpp>

extern char** environ;

namespace support {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "brennic-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    if (std::getenv("BRENNIC_KEEP_TEST_FILES")) return;
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(read_text(path));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

ZeltConfig::ZeltConfig(const TempDir& dir, int port, const std::string& bootstrap_servers,
                       const std::string& corvane_extra, int vesk_timeout_ms)
    : path_(dir / "zelt.ini"), port_(port) {
    // An entry given twice is refused, as configparser refuses it: `corvane_extra` replaces
    // the ip or port written here by giving its own.
    auto gives = [&](const std::string& key) {
        std::istringstream lines(corvane_extra);
        std::string line;
        while (std::getline(lines, line)) {
            const auto equals = line.find('=');
            if (equals == std::string::npos) continue;
            std::string name = line.substr(0, equals);
            name.erase(name.find_last_not_of(" \t") + 1);
            if (name == key) return true;
        }
        return false;
    };
    std::ofstream(path_) << "[corvane]\n"
                         << (gives("ip") ? "" : "ip = 127.0.0.1\n")
                         << (gives("port") ? "" : "port = " + std::to_string(port) + "\n")
                         << corvane_extra << "\n[vesk]\nbootstrap_servers = " << bootstrap_servers
                         << "\ntimeout_ms = " << vesk_timeout_ms << "\n";
    if (const char* old = std::getenv("ZELT_CONFIG")) previous_ = old;
    ::setenv("ZELT_CONFIG", path_.c_str(), 1);
}

ZeltConfig::~ZeltConfig() {
    if (previous_) {
        ::setenv("ZELT_CONFIG", previous_->c_str(), 1);
    } else {
        ::unsetenv("ZELT_CONFIG");
    }
}

// ---- FileSizeLimit ----

FileSizeLimit::FileSizeLimit(std::uint64_t bytes) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous_);
    getrlimit(RLIMIT_FSIZE, &old_limit_);
    rlimit limit = old_limit_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_limit_);
    sigaction(SIGXFSZ, &previous_, nullptr);
}

// ---- H5Reader ----

namespace {

struct Id {
    hid_t id;
    herr_t (*close)(hid_t);
    ~Id() {
        if (id >= 0) close(id);
    }
};

void require(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error("H5Reader: " + what);
}

}  // namespace

namespace {

// The backend opens its files without HDF5's locks, and HDF5 refuses a second open in one
// process under other locking: the tests, which read what the backend holds open, read
// without locks too, external links included.
const bool unlocked = ::setenv("HDF5_USE_FILE_LOCKING", "FALSE", 1) == 0;

}  // namespace

H5Reader::H5Reader(const std::string& path) : name_(path) {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    file_ = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    require(file_ >= 0, "cannot open " + path);
}

H5Reader::~H5Reader() { H5Fclose(file_); }

bool H5Reader::exists(const std::string& path) const {
    std::string prefix;
    std::stringstream parts(path);
    for (std::string part; std::getline(parts, part, '/');) {
        if (part.empty()) continue;
        prefix += "/" + part;
        if (H5Lexists(file_, prefix.c_str(), H5P_DEFAULT) <= 0) return false;
    }
    return true;
}

std::string H5Reader::type(const std::string& path) const {
    Id dataset{H5Dopen2(file_, path.c_str(), H5P_DEFAULT), H5Dclose};
    require(dataset.id >= 0, "no dataset " + path);
    Id type{H5Dget_type(dataset.id), H5Tclose};
    const std::size_t size = H5Tget_size(type.id);
    switch (H5Tget_class(type.id)) {
        case H5T_INTEGER:
            return std::string(H5Tget_sign(type.id) == H5T_SGN_NONE ? "uint" : "int") +
                   std::to_string(size * 8) +
                   (H5Tget_order(type.id) == H5T_ORDER_BE && size > 1 ? "be" : "");
        case H5T_FLOAT:
            return "float" + std::to_string(size * 8) +
                   (H5Tget_order(type.id) == H5T_ORDER_BE ? "be" : "");
        case H5T_STRING:
            if (H5Tis_variable_str(type.id) > 0) {
                return H5Tget_cset(type.id) == H5T_CSET_UTF8 ? "vlen-utf8" : "vlen-ascii";
            }
            return "fixed-string";
        case H5T_ENUM: {
            Id super{H5Tget_super(type.id), H5Tclose};
            char name[16] = {};
            signed char zero = 0;
            signed char one = 1;
            std::string members;
            if (H5Tget_nmembers(type.id) == 2 && size == 1 && H5Tget_sign(super.id) == H5T_SGN_2 &&
                H5Tenum_nameof(type.id, &zero, name, sizeof name) >= 0 &&
                std::string(name) == "FALSE" &&
                H5Tenum_nameof(type.id, &one, name, sizeof name) >= 0 &&
                std::string(name) == "TRUE") {
                return "bool";
            }
            return "enum";
        }
        default:
            return "other";
    }
}

std::vector<hsize_t> H5Reader::shape(const std::string& path) const {
    Id dataset{H5Dopen2(file_, path.c_str(), H5P_DEFAULT), H5Dclose};
    require(dataset.id >= 0, "no dataset " + path);
    Id space{H5Dget_space(dataset.id), H5Sclose};
    std::vector<hsize_t> dims(static_cast<std::size_t>(H5Sget_simple_extent_ndims(space.id)));
    H5Sget_simple_extent_dims(space.id, dims.data(), nullptr);
    return dims;
}

namespace {

template <class T>
std::vector<T> read_all(hid_t file, const std::string& path, hid_t mem_type) {
    Id dataset{H5Dopen2(file, path.c_str(), H5P_DEFAULT), H5Dclose};
    require(dataset.id >= 0, "no dataset " + path);
    Id space{H5Dget_space(dataset.id), H5Sclose};
    std::vector<T> values(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space.id)));
    require(values.empty() ||
                H5Dread(dataset.id, mem_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) >= 0,
            "cannot read " + path);
    return values;
}

}  // namespace

std::vector<std::int64_t> H5Reader::int64s(const std::string& path) const {
    return read_all<std::int64_t>(file_, path, H5T_NATIVE_INT64);
}
std::vector<double> H5Reader::float64s(const std::string& path) const {
    return read_all<double>(file_, path, H5T_NATIVE_DOUBLE);
}
std::vector<std::uint16_t> H5Reader::uint16s(const std::string& path) const {
    return read_all<std::uint16_t>(file_, path, H5T_NATIVE_UINT16);
}
std::int64_t H5Reader::int64(const std::string& path) const {
    auto values = int64s(path);
    require(values.size() == 1, path + " is not one value");
    return values[0];
}
double H5Reader::float64(const std::string& path) const {
    auto values = float64s(path);
    require(values.size() == 1, path + " is not one value");
    return values[0];
}

std::vector<std::string> H5Reader::texts(const std::string& path) const {
    Id dataset{H5Dopen2(file_, path.c_str(), H5P_DEFAULT), H5Dclose};
    require(dataset.id >= 0, "no dataset " + path);
    Id type{H5Dget_type(dataset.id), H5Tclose};
    require(H5Tis_variable_str(type.id) > 0, path + " is not a variable-length string");
    Id space{H5Dget_space(dataset.id), H5Sclose};
    std::vector<char*> raw(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space.id)));
    require(H5Dread(dataset.id, type.id, H5S_ALL, H5S_ALL, H5P_DEFAULT, raw.data()) >= 0,
            "cannot read " + path);
    std::vector<std::string> out(raw.begin(), raw.end());
    H5Dvlen_reclaim(type.id, space.id, H5P_DEFAULT, raw.data());
    return out;
}

std::string H5Reader::text(const std::string& path) const {
    auto values = texts(path);
    require(values.size() == 1, path + " is not one text");
    return values[0];
}

std::pair<std::string, std::string> H5Reader::external_link(const std::string& path) const {
    H5L_info_t info;
    require(H5Lget_info(file_, path.c_str(), &info, H5P_DEFAULT) >= 0, "no link " + path);
    require(info.type == H5L_TYPE_EXTERNAL, path + " is not an external link");
    std::vector<char> buffer(info.u.val_size);
    require(H5Lget_val(file_, path.c_str(), buffer.data(), buffer.size(), H5P_DEFAULT) >= 0,
            "cannot read link " + path);
    const char* file = nullptr;
    const char* object = nullptr;
    unsigned flags = 0;
    require(H5Lunpack_elink_val(buffer.data(), buffer.size(), &flags, &file, &object) >= 0,
            "cannot unpack link " + path);
    return {file, object};
}

std::vector<std::string> H5Reader::members(const std::string& group) const {
    std::vector<std::string> names;
    H5Literate_by_name(
        file_, group.c_str(), H5_INDEX_NAME, H5_ITER_INC, nullptr,
        [](hid_t, const char* name, const H5L_info_t*, void* out) -> herr_t {
            static_cast<std::vector<std::string>*>(out)->push_back(name);
            return 0;
        },
        &names, H5P_DEFAULT);
    return names;
}

void write_int64s(const std::string& path, const std::string& dataset,
                  const std::vector<std::int64_t>& values) {
    const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    require(file >= 0, "cannot create " + path);
    const hsize_t size = values.size();
    const hid_t space = H5Screate_simple(1, &size, nullptr);
    const hid_t lcpl = H5Pcreate(H5P_LINK_CREATE);
    H5Pset_create_intermediate_group(lcpl, 1);
    const hid_t data = H5Dcreate2(file, dataset.c_str(), H5T_NATIVE_INT64, space, lcpl,
                                  H5P_DEFAULT, H5P_DEFAULT);
    const bool written = data >= 0 && H5Dwrite(data, H5T_NATIVE_INT64, H5S_ALL, H5S_ALL,
                                               H5P_DEFAULT, values.data()) >= 0;
    if (data >= 0) H5Dclose(data);
    H5Pclose(lcpl);
    H5Sclose(space);
    H5Fclose(file);
    require(written, "cannot write " + dataset + " in " + path);
}

// ---- MockKafka ----

MockKafka::MockKafka() {
    char reason[512];
    rd_kafka_conf_t* conf = rd_kafka_conf_new();
    rd_kafka_conf_set(conf, "log_level", "2", reason, sizeof reason);
    host_ = rd_kafka_new(RD_KAFKA_PRODUCER, conf, reason, sizeof reason);
    if (!host_) throw std::runtime_error(std::string("mock Kafka: ") + reason);
    cluster_ = rd_kafka_mock_cluster_new(host_, 3);
    if (!cluster_) throw std::runtime_error("mock Kafka: no cluster");
    rd_kafka_mock_topic_create(cluster_, "Calyxo1", 1, 3);
    rd_kafka_mock_topic_create(cluster_, "scan-progress", 1, 3);
    bootstrap_ = rd_kafka_mock_cluster_bootstraps(cluster_);

    connect(RdKafka::Topic::OFFSET_BEGINNING);
}

std::unique_ptr<RdKafka::KafkaConsumer> MockKafka::consumer_of(const std::string& topic,
                                                               std::int64_t offset) const {
    std::string error;
    std::unique_ptr<RdKafka::Conf> conf(RdKafka::Conf::create(RdKafka::Conf::CONF_GLOBAL));
    conf->set("bootstrap.servers", bootstrap_, error);
    conf->set("group.id", "brennic-tests", error);
    conf->set("enable.auto.commit", "false", error);
    conf->set("log_level", "2", error);
    std::unique_ptr<RdKafka::KafkaConsumer> consumer(RdKafka::KafkaConsumer::create(conf.get(), error));
    if (!consumer) throw std::runtime_error("mock Kafka consumer: " + error);
    std::unique_ptr<RdKafka::TopicPartition> partition(
        RdKafka::TopicPartition::create(topic, 0, offset));
    std::vector<RdKafka::TopicPartition*> partitions{partition.get()};
    consumer->assign(partitions);
    return consumer;
}

void MockKafka::connect(std::int64_t offset) {
    if (consumer_) consumer_->close();
    consumer_ = consumer_of("Calyxo1", offset);
}

MockKafka::~MockKafka() {
    for (auto* consumer : {consumer_.get(), progress_consumer_.get()}) {
        if (consumer) consumer->close();
    }
    consumer_.reset();
    progress_consumer_.reset();
    if (cluster_) rd_kafka_mock_cluster_destroy(cluster_);
    if (host_) rd_kafka_destroy(host_);
}

void MockKafka::set_down(bool down) {
    for (std::int32_t broker = 1; broker <= 3; ++broker) {
        if (down) {
            rd_kafka_mock_broker_set_down(cluster_, broker);
        } else {
            rd_kafka_mock_broker_set_up(cluster_, broker);
        }
    }
    // A consumer that lived through the outage may stay stuck in its back-off; a new one reads
    // on from the next message not yet received.
    if (!down) connect(static_cast<std::int64_t>(received_.size()));
}

namespace {

// Reads `consumer` into `received` until it holds `count` messages or `timeout` passed.
void consume(RdKafka::KafkaConsumer& consumer, std::vector<std::string>& received,
             std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (received.size() < count && std::chrono::steady_clock::now() < deadline) {
        std::unique_ptr<RdKafka::Message> message(consumer.consume(100));
        if (message->err() == RdKafka::ERR_NO_ERROR) {
            received.emplace_back(static_cast<const char*>(message->payload()), message->len());
        }
    }
}

}  // namespace

std::vector<std::string> MockKafka::progress(std::size_t count, std::chrono::milliseconds timeout) {
    if (!progress_consumer_) {
        progress_consumer_ = consumer_of("scan-progress", RdKafka::Topic::OFFSET_BEGINNING);
    }
    consume(*progress_consumer_, progress_, count, timeout);
    return progress_;
}

std::vector<std::string> MockKafka::messages(std::size_t count, std::chrono::milliseconds timeout) {
    consume(*consumer_, received_, count, timeout);
    return received_;
}

// ---- ServiceProcess ----

ServiceProcess::ServiceProcess(const TempDir& dir, const std::string& config,
                               std::vector<std::string> args, const std::string& name)
    : out_path_(dir / (name + ".out")), err_path_(dir / (name + ".err")) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<std::string> argv_text{BRENNIC_BINARY};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argv_text) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text{"ZELT_CONFIG=" + config};
    for (char** e = environ; *e; ++e) {
        if (std::string(*e).rfind("ZELT_CONFIG=", 0) != 0) env_text.emplace_back(*e);
    }
    std::vector<char*> env;
    for (auto& entry : env_text) env.push_back(entry.data());
    env.push_back(nullptr);
    const int failed =
        posix_spawn(&pid_, BRENNIC_BINARY, &actions, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed) throw std::runtime_error("cannot start " BRENNIC_BINARY);
}

ServiceProcess::~ServiceProcess() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

std::optional<int> ServiceProcess::wait_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(10ms);
    }
    return status_;
}

void ServiceProcess::signal(int number) { ::kill(pid_, number); }

std::vector<std::string> ServiceProcess::out_lines(std::size_t count,
                                                   std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto lines = read_lines(out_path_);
    while (lines.size() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
        lines = read_lines(out_path_);
    }
    return lines;
}

// ---- Client ----

struct Client::Impl {
    zmq::context_t context{1};
    zmq::socket_t socket{context, zmq::socket_type::dealer};
};

Client::Client(int port) : impl_(std::make_unique<Impl>()) {
    impl_->socket.set(zmq::sockopt::linger, 1000);
    impl_->socket.connect("tcp://127.0.0.1:" + std::to_string(port));
}

Client::~Client() = default;

void Client::send(const zelt::Value& record) { send_bytes(zelt::dumps(record)); }

void Client::send_bytes(const std::string& payload) {
    if (!impl_->socket.send(zmq::buffer(payload), zmq::send_flags::none)) {
        throw std::runtime_error("client: send would block");
    }
}

void Client::send_frames(const std::vector<std::string>& frames) {
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto flags = i + 1 < frames.size() ? zmq::send_flags::sndmore : zmq::send_flags::none;
        if (!impl_->socket.send(zmq::buffer(frames[i]), flags)) {
            throw std::runtime_error("client: send would block");
        }
    }
}

std::optional<zelt::Value> Client::reply(std::chrono::milliseconds timeout) {
    zmq::pollitem_t item{static_cast<void*>(impl_->socket), 0, ZMQ_POLLIN, 0};
    if (zmq::poll(&item, 1, timeout) <= 0) return std::nullopt;
    zmq::message_t message;
    if (!impl_->socket.recv(message, zmq::recv_flags::none)) return std::nullopt;
    return zelt::loads(message.to_string());
}

zelt::Value Client::call(zelt::Map record, std::chrono::milliseconds timeout) {
    zelt::put(record, "block", true);
    send(record);
    auto answer = reply(timeout);
    if (!answer) {
        ADD_FAILURE() << "no reply to " << zelt::to_text(record);
        return {};
    }
    return *answer;
}

const zelt::Value& ok() {
    static const zelt::Value reply = zelt::Map{{"ret", "ok"}};
    return reply;
}

bool is_error_with(const zelt::Value& reply, const std::string& part) {
    const auto* fields = reply.as<zelt::Map>();
    if (!fields) return false;
    const zelt::Value* ret = zelt::find(*fields, "ret");
    const zelt::Value* error = zelt::find(*fields, "error");
    return ret && *ret == zelt::Value("error") && error && error->is<std::string>() &&
           error->as<std::string>()->find(part) != std::string::npos;
}

}  // namespace support
