// Frames through the service against a direct HDF5 writer and plain write(2), in one run.
//
//   brennic-bench-frames --service PATH [--frames N] [--width W] [--height H] [--block B]
//                        [--fsync] [--paced] [--outage] [--live] [--scrape-ms MS] [--curve]
//                        [--compression CODEC [--local]]
//
// The bare pipeline is this program again (--receiver): the same client messages, received on
// the same kind of socket, decoded, and each frame's bytes write(2)n into files of one block.
#include <hdf5.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <zelt/Curve.hpp>

#include <scrivell/Compression.hpp>
#include <zelt/Worker.hpp>

#include "bench_support.hpp"

namespace {

namespace fs = std::filesystem;

struct Options {
    std::string service;
    std::string dir;
    int frames = 1000;
    std::uint64_t width = 2048;
    std::uint64_t height = 2048;
    int block = 100;
    bool fsync = false;
    bool paced = false;
    bool outage = false;
    bool journal = false;
    bool local = false;
    bool live = false;
    int scrape_ms = 0;
    bool curve = false;
    std::string compression = "none";
    int compression_threads = 0;  // 0: the service's default
};

std::atomic<bool> receiver_stop{false};

// The bare pipeline's receiving end: decode each request, write(2) its frame, answer a waiting
// request. Nothing else a service does.
int run_receiver(int port, const std::string& dir, int block) {
    std::signal(SIGTERM, [](int) { receiver_stop = true; });
    zelt::WorkerOptions options;
    options.receive_hwm = 64;  // as the service
    zelt::Worker worker(zelt::ROUTER, "127.0.0.1", std::to_string(port), false, options);
    int fd = -1, frames = 0, index = 0;
    while (!receiver_stop) {
        auto identity = worker.recv(std::chrono::milliseconds(200));
        if (!identity) continue;
        const zelt::Value request = worker.recv_loads();
        const auto& record = *request.as<zelt::Map>();
        if (const zelt::Value* map = zelt::find(record, "map")) {
            for (const auto& [name, item] : *map->as<zelt::Map>()) {
                const auto* array = item.as<zelt::NdArray>();
                if (!array) continue;
                if (frames % block == 0) {
                    if (fd >= 0) ::close(fd);
                    fd = ::open((dir + "/" + std::to_string(index++) + ".raw").c_str(),
                                O_WRONLY | O_CREAT | O_TRUNC, 0644);
                }
                ++frames;
                const char* data = array->data();
                std::size_t left = array->size_bytes();
                while (left) {
                    const ssize_t n = ::write(fd, data, left);
                    if (n <= 0) return 1;
                    data += n;
                    left -= static_cast<std::size_t>(n);
                }
            }
        }
        if (const zelt::Value* b = zelt::find(record, "block"); b && zelt::is_true(*b)) {
            if (fd >= 0) ::close(fd);
            fd = -1;
            frames = 0;  // the next acquisition starts a block of its own
            zelt::Map reply{{"ret", "ok"}};
            if (const zelt::Value* seq = zelt::find(record, "seq")) reply.emplace_back("seq", *seq);
            worker.send_dumps_id(*identity, reply);
        }
    }
    return 0;
}

// With --every-pixel the program writes every pixel of every frame, as a detector program
// that makes its frames does; else one in 512, cheap but different for every frame.
std::size_t fill_stride = 512;

void fill(std::uint16_t* frame, std::size_t size, int index) {
    const auto base = static_cast<std::uint16_t>(index * 7);
    for (std::size_t i = 0; i < size; i += fill_stride) frame[i] = static_cast<std::uint16_t>(base + i);
}

void fill(std::vector<std::uint16_t>& frame, int index) { fill(frame.data(), frame.size(), index); }

// Detector-like frames for the compression runs: Poisson counts of mean 1.5, made before any
// time is taken; frame i is pool[i % 16] stamped with i. Empty: frames are filled as above.
std::vector<std::vector<std::uint16_t>> pool;

void make_pool(std::size_t pixels) {
    std::mt19937 random(2026);
    std::poisson_distribution<int> counts(1.5);
    pool.assign(16, std::vector<std::uint16_t>(pixels));
    for (auto& frame : pool) {
        for (auto& pixel : frame) pixel = static_cast<std::uint16_t>(counts(random));
    }
}

// Frame `index`: made in `frame`, or a stamped frame of the pool.
const std::uint16_t* next_frame(std::vector<std::uint16_t>& frame, int index) {
    if (pool.empty()) {
        fill(frame, index);
        return frame.data();
    }
    std::vector<std::uint16_t>& made = pool[static_cast<std::size_t>(index) % pool.size()];
    made[0] = static_cast<std::uint16_t>(index);
    return made.data();
}

// The HDF5 filter a user with h5py and hdf5plugin would set for `codec`, as the service does.
void set_filter(hid_t dcpl, const std::string& codec) {
    if (codec == "bslz4") {
        const unsigned values[] = {0, 2};
        H5Pset_filter(dcpl, 32008, H5Z_FLAG_MANDATORY, 2, values);
    } else {
        const unsigned values[] = {2, 2, 2, 0, 5, 2, codec == "blosc-lz4" ? 1u : 5u};
        H5Pset_filter(dcpl, 32001, H5Z_FLAG_MANDATORY, 7, values);
    }
}

// The bytes of the sub-files in `dir`.
std::uint64_t sub_file_bytes(const std::string& dir) {
    std::uint64_t bytes = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename();
        if (name != "master.h5" && entry.path().extension() == ".h5") bytes += entry.file_size();
    }
    return bytes;
}

void sync_files(const std::string& dir) {
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".h5" && entry.path().extension() != ".raw") continue;
        const int fd = ::open(entry.path().c_str(), O_RDONLY);
        ::fsync(fd);
        ::close(fd);
    }
}

char sub_name_buffer[32];
const char* sub_name(int index) {
    std::snprintf(sub_name_buffer, sizeof sub_name_buffer, "%04d.h5", index);
    return sub_name_buffer;
}

// The same sub-files and links, written by this process with the HDF5 C library: each frame
// goes into its block's dataset by a hyperslab as it is made, through HDF5's filter when
// compressed; with `chunks`, each frame is compressed here and written as its chunk.
double direct_writer(const Options& o, const std::string& dir, bool chunks = false) {
    fs::create_directories(dir);
    scrivell::Compression codec;
    if (chunks) codec.codec = scrivell::Compression::codec_named(o.compression, "--compression");
    std::vector<std::uint16_t> frame(o.width * o.height);
    const auto start = bench::Clock::now();
    hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
    H5Pset_libver_bounds(fapl, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
    const hid_t master = H5Fcreate((dir + "/master.h5").c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fapl);
    hid_t lcpl = H5Pcreate(H5P_LINK_CREATE);
    H5Pset_create_intermediate_group(lcpl, 1);
    hid_t file = -1, dataset = -1, space = -1;
    const hsize_t item[3] = {1, o.height, o.width};
    const hid_t memory = H5Screate_simple(3, item, nullptr);
    int in_block = 0, index = 0;
    auto finish_block = [&]() {
        H5Sclose(space);
        H5Dclose(dataset);
        H5Fclose(file);
        char link[64];
        std::snprintf(link, sizeof link, "/entry/data/data_%04d", index);
        H5Lcreate_external(sub_name(index), "/entry/data/data", master, link, lcpl, H5P_DEFAULT);
        ++index;
        in_block = 0;
    };
    for (int i = 0; i < o.frames; ++i) {
        if (in_block == 0) {
            const int count = std::min(o.block, o.frames - i);
            file = H5Fcreate((dir + "/" + sub_name(index)).c_str(), H5F_ACC_TRUNC, H5P_DEFAULT,
                             H5P_DEFAULT);
            const hsize_t dims[3] = {static_cast<hsize_t>(count), o.height, o.width};
            space = H5Screate_simple(3, dims, nullptr);
            const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
            if (o.compression != "none") {
                H5Pset_chunk(dcpl, 3, item);
                set_filter(dcpl, o.compression);
            }
            dataset = H5Dcreate2(file, "/entry/data/data", H5T_STD_U16LE, space, lcpl, dcpl,
                                 H5P_DEFAULT);
            H5Pclose(dcpl);
        }
        const std::uint16_t* data = next_frame(frame, i);
        const hsize_t offset[3] = {static_cast<hsize_t>(in_block), 0, 0};
        if (chunks) {
            // Compressed here, on this thread, and written as the chunk: what a fast writer
            // does, past HDF5's filter pipeline.
            const std::vector<char> chunk = codec.compress(
                reinterpret_cast<const char*>(data), frame.size() * 2, sizeof(std::uint16_t));
            H5Dwrite_chunk(dataset, H5P_DEFAULT, 0, offset, chunk.size(), chunk.data());
        } else {
            H5Sselect_hyperslab(space, H5S_SELECT_SET, offset, nullptr, item, nullptr);
            H5Dwrite(dataset, H5T_NATIVE_UINT16, memory, space, H5P_DEFAULT, data);
        }
        if (++in_block == o.block || i + 1 == o.frames) finish_block();
    }
    H5Sclose(memory);
    H5Pclose(lcpl);
    H5Fclose(master);
    H5Pclose(fapl);
    if (o.fsync) sync_files(dir);
    return bench::seconds_since(start);
}

double plain_write(const Options& o, const std::string& dir) {
    fs::create_directories(dir);
    std::vector<std::uint16_t> frame(o.width * o.height);
    const auto start = bench::Clock::now();
    int fd = -1, index = 0;
    for (int i = 0; i < o.frames; ++i) {
        if (i % o.block == 0) {
            if (fd >= 0) ::close(fd);
            fd = ::open((dir + "/" + std::to_string(index++) + ".raw").c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        fill(frame, i);
        const char* data = reinterpret_cast<const char*>(frame.data());
        std::size_t left = frame.size() * 2;
        while (left) {
            const ssize_t n = ::write(fd, data, left);
            if (n <= 0) throw std::runtime_error("write failed");
            data += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    if (o.fsync) sync_files(dir);
    return bench::seconds_since(start);
}

struct ServiceRun {
    double total_s = 0;
    double close_s = 0;
    long peak_rss_kb = 0;
    double longest_send_s = 0;
};

// One acquisition through a running service: N frames, then a waiting close. With `pace_s`, a
// frame is sent every pace_s seconds, as a detector would.
// With `acked`, each frame waits for its reply, and the CLOCK_MONOTONIC time of each reply is
// kept there.
ServiceRun acquisition(const Options& o, int pid, const std::string& dir, int block,
                       double pace_s = 0, bool in_place = false,
                       std::vector<double>* acked = nullptr) {
    fs::create_directories(dir);
    brennic::hdf5 master = brennic::hdf5::open(dir + "/master.h5");
    std::vector<std::uint16_t> frame(o.width * o.height);
    const auto start = bench::Clock::now();
    ServiceRun run;
    master.create_dataset_append_split(brennic::List{
        brennic::List{"/entry/data", block, brennic::Map{{"compression", o.compression}}}});
    for (int i = 0; i < o.frames; ++i) {
        if (in_place) {
            // The program makes its frame straight into a slot of the shared ring.
            const brennic::LocalSlot slot = master.local_slot(frame.size() * 2);
            if (pool.empty()) {
                fill(reinterpret_cast<std::uint16_t*>(slot.data), frame.size(), i);
            } else {
                std::memcpy(slot.data, next_frame(frame, i), frame.size() * 2);
            }
            master.dataset_append_split_map(
                {{"/entry/data", master.slot_array(slot, "<u2", {o.height, o.width})}});
            continue;
        }
        const std::uint16_t* data = next_frame(frame, i);
        if (pace_s > 0) {
            std::this_thread::sleep_until(start + std::chrono::duration_cast<bench::Clock::duration>(
                                                      std::chrono::duration<double>(pace_s * i)));
        }
        const auto send_start = bench::Clock::now();
        master.dataset_append_split_map(
            {{"/entry/data", brennic::NdArray::view(data, {o.height, o.width})}},
            acked ? brennic::Map{{"block", true}} : brennic::Map{});
        run.longest_send_s = std::max(run.longest_send_s, bench::seconds_since(send_start));
        if (acked) {
            acked->push_back(
                std::chrono::duration<double>(bench::Clock::now().time_since_epoch()).count());
        }
    }
    const auto close_start = bench::Clock::now();
    master.close({{"block", true}});
    run.close_s = bench::seconds_since(close_start);
    run.peak_rss_kb = bench::status_kb(pid, "VmHWM");
    if (o.fsync) sync_files(dir);
    run.total_s = bench::seconds_since(start);
    return run;
}

// A fresh service's first acquisition also faults in its receive memory; a service that runs
// for days reuses it. Both are reported. With `files`, the sub-files' bytes of the second.
std::pair<ServiceRun, ServiceRun> through_service(const Options& o, const std::string& dir,
                                                  const std::string& corvane_extra = "local_socket = off\n",
                                                  bool in_place = false,
                                                  std::uint64_t* files = nullptr) {
    fs::create_directories(dir);
    bench::Service service(o.service, dir, bench::free_port(), {}, "bootstrap_servers =\n",
                           corvane_extra);
    brennic::hdf5 probe = brennic::hdf5::open(dir + "/probe.h5");
    probe.close({{"block", true}});  // the service is up
    const ServiceRun first = acquisition(o, service.pid(), dir + "/first", o.block, 0, in_place);
    fs::remove_all(dir + "/first");
    const ServiceRun second = acquisition(o, service.pid(), dir + "/second", o.block, 0, in_place);
    if (files) *files = sub_file_bytes(dir + "/second");
    return {first, second};
}

// The same client messages to a process that only decodes them and write(2)s the frames.
ServiceRun bare_pipeline(const Options& o, const std::string& dir) {
    fs::create_directories(dir + "/files");
    const int port = bench::free_port();
    bench::Service receiver("/proc/self/exe", dir, port,
                            {"--receiver", std::to_string(port), "--service", "-", "--dir",
                             dir + "/files", "--block", std::to_string(o.block)});
    brennic::hdf5 probe = brennic::hdf5::open(dir + "/probe.h5");
    probe.close({{"block", true}});                           // the receiver is up
    acquisition(o, receiver.pid(), dir + "/first", o.block);  // as the service, warm
    fs::remove_all(dir + "/files");
    fs::create_directories(dir + "/files");
    ServiceRun run = acquisition(o, receiver.pid(), dir + "/second", o.block);
    return run;
}

// A reader in another process that follows `master` through status polling every 50 ms and
// records when it held each frame.
class LiveReader {
  public:
    LiveReader(const std::string& master, const std::string& out, bool status_only = false)
        : out_(out) {
        std::vector<std::string> args{"/usr/bin/python3",
                                      BRENNIC_SOURCE_DIR "/tools/bench/live_reader.py",
                                      BRENNIC_SOURCE_DIR "/python", master, out};
        if (status_only) args.emplace_back("--status-only");
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        int ready[2];
        if (::pipe(ready) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ready[1], 1);
        posix_spawn_file_actions_addclose(&actions, ready[0]);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error("cannot start the live reader");
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(ready[1]);
        // "ready": h5py is imported. The pipe stays open: the reader writes nothing more.
        char line[8] = {};
        ssize_t got = 0;
        do {
            got = ::read(ready[0], line, sizeof line - 1);
        } while (got < 0 && errno == EINTR);
        ready_ = ready[0];
    }
    ~LiveReader() {
        ::close(ready_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // Waits for the reader to end (at most two minutes); returns when it held each frame.
    std::vector<double> times() {
        int status = 0;
        rusage used{};
        for (int i = 0; i < 1200 && ::wait4(pid_, &status, WNOHANG, &used) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        cpu_s_ = static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
                 static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
        pid_ = -1;
        std::vector<double> held;
        std::ifstream in(out_);
        long index = 0;
        double t = 0;
        while (in >> index >> t) held.push_back(t);
        return held;
    }

    // The processor time the reader took, once it ended.
    double cpu_s() const { return cpu_s_; }

  private:
    std::string out_;
    double cpu_s_ = 0;
    int ready_ = -1;
    pid_t pid_ = -1;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

// One GET of http://127.0.0.1:PORT/metrics; returns the bytes of the answer.
std::size_t scrape(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::size_t got = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const char request[] = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (::write(fd, request, sizeof request - 1) > 0) {
            char buffer[8192];
            for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) got += n;
        }
    }
    ::close(fd);
    return got;
}

// Frames through a service with its metrics scraped every scrape_ms against one without, in
// turns, the best of three each.
void scraped(const Options& o) {
    double plain_s = 1e300;
    double scraped_s = 1e300;
    std::size_t scrapes = 0;
    for (int round = 0; round < 3; ++round) {
        for (const bool scraping : {false, true}) {
            const std::string dir = o.dir + "/scraped";
            fs::create_directories(dir);
            const int port = bench::free_port();
            bench::Service service(o.service, dir, bench::free_port(), {}, "bootstrap_servers =\n",
                                   "local_socket = off\nmetrics = 127.0.0.1:" +
                                       std::to_string(port) + "\n");
            brennic::hdf5 probe = brennic::hdf5::open(dir + "/probe.h5");
            probe.close({{"block", true}});
            acquisition(o, service.pid(), dir + "/warm", o.block);
            std::atomic<bool> done{false};
            std::thread scraper([&] {
                while (scraping && !done.load()) {
                    if (scrape(port) > 0) ++scrapes;
                    std::this_thread::sleep_for(std::chrono::milliseconds(o.scrape_ms));
                }
            });
            const double took = acquisition(o, service.pid(), dir + "/run", o.block).total_s;
            done = true;
            scraper.join();
            (scraping ? scraped_s : plain_s) = std::min(scraping ? scraped_s : plain_s, took);
            fs::remove_all(dir);
        }
    }
    bench::figure("scrapes", static_cast<double>(scrapes), "");
    bench::ratio("scraped_vs_plain", plain_s / scraped_s);
}

// Frames through a service whose clients authenticate with CURVE (and whose traffic is
// encrypted) against one without, in turns, the best of three each.
void with_curve(const Options& o) {
    const std::string keys = o.dir + "/keys";
    fs::create_directories(keys + "/clients");
    const zelt::CurveKeys server = zelt::new_curve_keys();
    const zelt::CurveKeys client = zelt::new_curve_keys();
    zelt::write_curve_certificates(keys + "/server.key", server);
    zelt::write_curve_certificates(keys + "/client.key", client);
    fs::copy_file(keys + "/client.key.pub", keys + "/clients/client.pub");
    double plain_s = 1e300;
    double curve_s = 1e300;
    for (int round = 0; round < 3; ++round) {
        for (const bool curving : {false, true}) {
            const std::string dir = o.dir + "/curve";
            fs::create_directories(dir);
            const std::string corvane =
                "local_socket = off\n" +
                (curving ? "curve_secret_key_file = " + keys + "/server.key\ncurve_clients_dir = " +
                               keys + "/clients\n"
                         : std::string());
            const std::string vesk =
                "bootstrap_servers =\n" +
                (curving ? "[client]\ncurve_server_key = " + server.public_key +
                               "\ncurve_secret_key_file = " + keys + "/client.key\n"
                         : std::string());
            bench::Service service(o.service, dir, bench::free_port(), {}, vesk, corvane);
            brennic::hdf5 probe = brennic::hdf5::open(dir + "/probe.h5");
            probe.close({{"block", true}});
            acquisition(o, service.pid(), dir + "/warm", o.block);
            const double took = acquisition(o, service.pid(), dir + "/run", o.block).total_s;
            (curving ? curve_s : plain_s) = std::min(curving ? curve_s : plain_s, took);
            fs::remove_all(dir);
        }
    }
    const double mib = static_cast<double>(o.frames) * o.width * o.height * 2 / (1 << 20);
    bench::figure("curve throughput", mib / curve_s, "MiB/s");
    bench::ratio("curve_vs_plain", plain_s / curve_s);
}

// Frames with a live reader following them: the latency from each waiting append's reply to
// the reader holding the frame (paced at 100 frames/s), and the throughput of a scan at full
// speed with a reader, with only status polled every 50 ms, and without, each the best of
// three rounds.
void live(const Options& o) {
    const std::string dir = o.dir + "/live";
    double plain_s = 1e300;
    double live_s = 1e300;
    double polled_s = 1e300;
    double reader_cpu_s = 0;
    std::vector<double> latencies_ms;
    for (int round = 0; round < 3; ++round) {
        fs::create_directories(dir);
        bench::Service service(o.service, dir, bench::free_port(), {}, "bootstrap_servers =\n",
                               "local_socket = off\n");
        brennic::hdf5 probe = brennic::hdf5::open(dir + "/probe.h5");
        probe.close({{"block", true}});
        acquisition(o, service.pid(), dir + "/warm", o.block);
        plain_s = std::min(plain_s, acquisition(o, service.pid(), dir + "/plain", o.block).total_s);
        {
            LiveReader reader(dir + "/followed/master.h5", dir + "/followed.txt");
            const double took = acquisition(o, service.pid(), dir + "/followed", o.block).total_s;
            (void)reader.times();
            if (took < live_s) reader_cpu_s = reader.cpu_s();
            live_s = std::min(live_s, took);
        }
        {
            LiveReader poller(dir + "/polled/master.h5", dir + "/polled.txt", /*status_only=*/true);
            polled_s = std::min(polled_s,
                                acquisition(o, service.pid(), dir + "/polled", o.block).total_s);
            (void)poller.times();
        }
        if (round == 0) {
            Options paced = o;
            paced.frames = std::min(o.frames, 300);
            std::vector<double> acked;
            LiveReader reader(dir + "/paced/master.h5", dir + "/paced.txt");
            acquisition(paced, service.pid(), dir + "/paced", o.block, 0.01, false, &acked);
            const std::vector<double> held = reader.times();
            for (std::size_t i = 0; i < std::min(held.size(), acked.size()); ++i) {
                latencies_ms.push_back((held[i] - acked[i]) * 1000);
            }
            if (held.size() != acked.size()) {
                std::fprintf(stderr, "live reader held %zu of %zu frames\n", held.size(),
                             acked.size());
            }
        }
        fs::remove_all(dir);
    }
    bench::figure("live latency p50_ms", percentile(latencies_ms, 0.5), "ms");
    bench::figure("live latency p99_ms", percentile(latencies_ms, 0.99), "ms");
    bench::figure("live latency max_ms", percentile(latencies_ms, 1.0), "ms");
    bench::figure("live reader processor time", reader_cpu_s, "s");
    bench::figure("followed scan time", live_s, "s");
    bench::ratio("live_vs_plain", plain_s / live_s);
    bench::ratio("status_polled_vs_plain", plain_s / polled_s);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"Frames through brennic against a direct HDF5 writer and write(2)"};
    app.add_option("--service", o.service, "the brennic program")->required();
    app.add_option("--dir", o.dir, "scratch directory (default: a new one under /tmp)");
    app.add_option("--frames", o.frames)->capture_default_str();
    app.add_option("--width", o.width)->capture_default_str();
    app.add_option("--height", o.height)->capture_default_str();
    app.add_option("--block", o.block)->capture_default_str();
    app.add_flag("--fsync", o.fsync, "fsync every file before the time is taken");
    app.add_flag("--paced", o.paced,
                 "also send at 80 % of the bare pipeline's rate and report the longest send");
    app.add_flag("--outage", o.outage,
                 "also run 100 frames in blocks of 10 with no Kafka broker (timeout_ms 800)");
    app.add_flag("--journal", o.journal, "also through a service that keeps a journal");
    app.add_option("--scrape-ms", o.scrape_ms,
                   "also with the metrics endpoint scraped every MS milliseconds");
    app.add_flag("--curve", o.curve, "also through a service whose clients authenticate with CURVE");
    app.add_flag("--live", o.live,
                 "also a reader in another process following the scan (latency, throughput)");
    app.add_flag("--local", o.local, "also through the same-host ring of shared memory");
    bool every_pixel = false;
    app.add_flag("--every-pixel", every_pixel, "the program writes every pixel of every frame");
    app.add_option("--compression", o.compression,
                   "compare a compressed scan (bslz4, blosc-lz4, blosc-zstd) of detector-like "
                   "frames with a direct writer using the same filter and with the service "
                   "uncompressed (with --local: through the same-host ring)")
        ->check(CLI::IsMember({"none", "bslz4", "blosc-lz4", "blosc-zstd"}));
    app.add_option("--compression-threads", o.compression_threads,
                   "the service's compression_threads (default: its own)");
    int receiver_port = 0;
    app.add_option("--receiver", receiver_port, "run as the bare pipeline's receiver")->group("");
    CLI11_PARSE(app, argc, argv);
    if (receiver_port) return run_receiver(receiver_port, o.dir, o.block);
    if (every_pixel) fill_stride = 1;
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    const bool own_dir = o.dir.empty();
    if (own_dir) {
        std::string pattern = "/tmp/brennic-bench-XXXXXX";
        o.dir = ::mkdtemp(pattern.data());
    }
    const double mib = static_cast<double>(o.frames) * o.width * o.height * 2 / (1 << 20);
    if (o.compression != "none") {
        make_pool(o.width * o.height);
        const std::string local_extra =
            (o.local ? "local_socket = " + o.dir + "/local.sock\nlocal_slots = 16\n"
                     : std::string("local_socket = off\n")) +
            (o.compression_threads
                 ? "compression_threads = " + std::to_string(o.compression_threads) + "\n"
                 : std::string());
        Options raw = o;
        raw.compression = "none";
        direct_writer(o, o.dir + "/warm-up");
        fs::remove_all(o.dir + "/warm-up");
        // Each baseline runs before and after, and the better run counts: the machine drifts.
        double direct_s = 1e300, uncompressed_s = 1e300, compressed_s = 1e300;
        double direct_chunk_s = 1e300;
        std::uint64_t file_bytes = 0;
        for (int round = 0; round < 2; ++round) {
            direct_s = std::min(direct_s, direct_writer(o, o.dir + "/direct"));
            fs::remove_all(o.dir + "/direct");
            direct_chunk_s = std::min(direct_chunk_s, direct_writer(o, o.dir + "/direct", true));
            fs::remove_all(o.dir + "/direct");
            uncompressed_s = std::min(
                uncompressed_s, through_service(raw, o.dir + "/raw", local_extra).second.total_s);
            fs::remove_all(o.dir + "/raw");
            compressed_s = std::min(compressed_s, through_service(o, o.dir + "/compressed",
                                                                  local_extra, false, &file_bytes)
                                                      .second.total_s);
            fs::remove_all(o.dir + "/compressed");
        }
        bench::figure("data", mib, "MiB");
        bench::figure("direct compressed throughput", mib / direct_s, "MiB/s");
        bench::figure("service uncompressed throughput", mib / uncompressed_s, "MiB/s");
        bench::figure("service compressed throughput", mib / compressed_s, "MiB/s");
        bench::ratio("compressed_vs_direct_compressed", direct_s / compressed_s);
        bench::figure("direct chunk throughput", mib / direct_chunk_s, "MiB/s");
        bench::ratio("compressed_vs_direct_chunk", direct_chunk_s / compressed_s);
        if (o.compression == "bslz4" && o.compression_threads == 0) {
            // Each worker count against the direct chunk writer.
            for (int workers = 1; workers <= 3; ++workers) {
                Options counted = o;
                counted.compression_threads = workers;
                // As the default pass: over the ring with --local.
                const std::string extra =
                    (o.local ? "local_socket = " + o.dir + "/local.sock\nlocal_slots = 16\n"
                             : std::string("local_socket = off\n")) +
                    "compression_threads = " + std::to_string(workers) + "\n";
                const double took =
                    through_service(counted, o.dir + "/workers", extra).second.total_s;
                fs::remove_all(o.dir + "/workers");
                bench::ratio("compressed_vs_direct_chunk_" + std::to_string(workers) + "_workers",
                             direct_chunk_s / took);
            }
        }
        bench::ratio("compressed_vs_uncompressed", uncompressed_s / compressed_s);
        if (o.fsync) bench::ratio("compressed_vs_uncompressed_fsync", uncompressed_s / compressed_s);
        std::printf("compression ratio: %.3f\n", mib * (1 << 20) / static_cast<double>(file_bytes));
        if (o.live) live(o);
        if (o.scrape_ms > 0) scraped(o);
        if (o.curve) with_curve(o);
        if (own_dir) fs::remove_all(o.dir);
        return 0;
    }
    const double block_mib = static_cast<double>(o.block) * o.width * o.height * 2 / (1 << 20);

    // A pass to bring the page cache into the state the measured passes find; then the
    // baselines first and last around the service, to see the machine's drift.
    direct_writer(o, o.dir + "/warm-up");
    fs::remove_all(o.dir + "/warm-up");
    const double write_s = plain_write(o, o.dir + "/write");
    fs::remove_all(o.dir + "/write");
    const ServiceRun pipeline = bare_pipeline(o, o.dir + "/pipeline");
    fs::remove_all(o.dir + "/pipeline");
    const double direct_s = direct_writer(o, o.dir + "/direct");
    fs::remove_all(o.dir + "/direct");
    const auto [fresh, service] = through_service(o, o.dir + "/service");
    fs::remove_all(o.dir + "/service");
    const double direct_again_s = direct_writer(o, o.dir + "/direct");
    fs::remove_all(o.dir + "/direct");
    const double direct_best_s = std::min(direct_s, direct_again_s);

    bench::figure("data", mib, "MiB");
    bench::figure("write2 throughput", mib / write_s, "MiB/s");
    bench::figure("direct throughput", mib / direct_best_s, "MiB/s");
    bench::figure("direct frames", o.frames / direct_best_s, "frames/s");
    bench::figure("fresh service throughput", mib / fresh.total_s, "MiB/s");
    bench::figure("service throughput", mib / service.total_s, "MiB/s");
    bench::figure("service frames", o.frames / service.total_s, "frames/s");
    bench::figure("service close", service.close_s, "s");
    bench::figure("service peak rss", service.peak_rss_kb / 1024.0, "MiB");
    bench::figure("one block", block_mib, "MiB");
    bench::ratio("service_vs_direct", direct_best_s / service.total_s);
    bench::ratio("fresh_service_vs_direct", direct_best_s / fresh.total_s);
    bench::ratio("service_vs_write2", write_s / service.total_s);
    bench::ratio("direct_vs_write2", write_s / direct_best_s);
    const double frame_mib = static_cast<double>(o.width) * o.height * 2 / (1 << 20);
    bench::figure("pipeline throughput", mib / pipeline.total_s, "MiB/s");
    bench::figure("service peak rss in frames", service.peak_rss_kb / 1024.0 / frame_mib, "frames");
    bench::ratio("service_vs_pipeline", pipeline.total_s / service.total_s);
    bench::ratio("peak_rss_vs_block", service.peak_rss_kb / 1024.0 / block_mib);
    bench::ratio("peak_rss_vs_pipeline",
                 static_cast<double>(service.peak_rss_kb) / pipeline.peak_rss_kb);
    if (o.local) {
        // The same client library, attached to the service's ring: each frame copied into a
        // slot (one copy), and, the second way, made straight in a slot (no copy).
        // Each against a direct writer run right before it: the page cache fills over the
        // passes, and its writeback slows whichever pass comes late.
        const std::string dir = o.dir + "/local";
        const std::string extra = "local_socket = " + dir + "/local.sock\nlocal_slots = 16\n";
        const double direct_before_local = direct_writer(o, o.dir + "/direct");
        fs::remove_all(o.dir + "/direct");
        const auto local = through_service(o, dir, extra).second;
        fs::remove_all(dir);
        const double direct_before_in_place = direct_writer(o, o.dir + "/direct");
        fs::remove_all(o.dir + "/direct");
        const auto in_place = through_service(o, dir, extra, /*in_place=*/true).second;
        fs::remove_all(dir);
        bench::figure("direct before local", mib / direct_before_local, "MiB/s");
        bench::ratio("local_vs_direct_before_it", direct_before_local / local.total_s);
        bench::ratio("local_in_place_vs_direct_before_it", direct_before_in_place / in_place.total_s);
        bench::figure("local throughput", mib / local.total_s, "MiB/s");
        bench::figure("local peak rss", local.peak_rss_kb / 1024.0, "MiB");
        bench::figure("local, filled in place, throughput", mib / in_place.total_s, "MiB/s");
        bench::ratio("local_vs_direct", direct_best_s / local.total_s);
        bench::ratio("local_in_place_vs_direct", direct_best_s / in_place.total_s);
        bench::ratio("local_vs_tcp", service.total_s / local.total_s);
    }
    if (o.journal) {
        // Plain and journaled passes alternate, and the best of each counts: the page cache
        // fills over the passes and would charge its writeback to whichever runs last.
        double plain_s = service.total_s;
        double journaled_s = 1e300;
        for (int round = 0; round < 2; ++round) {
            const std::string dir = o.dir + "/journaled";
            const auto journaled = through_service(
                o, dir,
                "journal_dir = " + dir +
                    "/journal\njournal_sync = " + std::string(o.fsync ? "true" : "false") + "\n");
            fs::remove_all(dir);
            journaled_s = std::min(journaled_s, journaled.second.total_s);
            const auto plain = through_service(o, o.dir + "/plain");  // TCP, as the journaled
            fs::remove_all(o.dir + "/plain");
            plain_s = std::min(plain_s, plain.second.total_s);
        }
        bench::figure("journaled service throughput", mib / journaled_s, "MiB/s");
        bench::ratio("journal_vs_plain", plain_s / journaled_s);
    }
    if (o.paced) {
        // 80 % of the pipeline's frame rate: a sender that is never held up by the service.
        const double pace_s = pipeline.total_s / o.frames / 0.8;
        const std::string dir = o.dir + "/paced";
        fs::create_directories(dir);
        bench::Service paced_service(o.service, dir, bench::free_port(), {}, "bootstrap_servers =\n",
                                     "local_socket = off\n");
        brennic::hdf5 probe = brennic::hdf5::open(dir + "/probe.h5");
        probe.close({{"block", true}});
        acquisition(o, paced_service.pid(), dir + "/warm", o.block);
        const ServiceRun paced = acquisition(o, paced_service.pid(), dir + "/run", o.block, pace_s);
        bench::figure("paced rate", 1 / pace_s, "frames/s");
        bench::figure("paced longest send", paced.longest_send_s * 1000, "ms");
        fs::remove_all(dir);
    }
    if (o.outage) {
        // Nothing listens at the broker's address: every notification is owed.
        const std::string dir = o.dir + "/outage";
        fs::create_directories(dir);
        Options small = o;
        small.frames = 100;
        bench::Service lonely(o.service, dir, bench::free_port(), {},
                              "bootstrap_servers = 127.0.0.1:" +
                                  std::to_string(bench::free_port()) + "\ntimeout_ms = 800\n");
        brennic::hdf5 probe = brennic::hdf5::open(dir + "/probe.h5");
        probe.close({{"block", true}});
        const auto start = bench::Clock::now();
        acquisition(small, lonely.pid(), dir + "/run", 10);
        bench::figure("outage: 100 frames in blocks of 10", bench::seconds_since(start), "s");
        fs::remove_all(dir);
    }
    if (o.live) live(o);
    if (o.scrape_ms > 0) scraped(o);
    if (o.curve) with_curve(o);
    if (own_dir) fs::remove_all(o.dir);
    return 0;
}
