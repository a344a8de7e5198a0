// Frames through the service against a direct HDF5 writer and plain write(2), in one run.
//
//   brennic-bench-frames --service PATH [--frames N] [--width W] [--height H] [--block B] [--fsync]
#include <hdf5.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <CLI/CLI.hpp>

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
};

void fill(std::vector<std::uint16_t>& frame, int index) {
    // Cheap, different for every frame, so nothing can be deduplicated or skipped.
    const auto base = static_cast<std::uint16_t>(index * 7);
    for (std::size_t i = 0; i < frame.size(); i += 512) frame[i] = static_cast<std::uint16_t>(base + i);
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
// goes into its block's dataset by a hyperslab as it is made.
double direct_writer(const Options& o, const std::string& dir) {
    fs::create_directories(dir);
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
            file = H5Fcreate((dir + "/" + sub_name(index)).c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
            const hsize_t dims[3] = {static_cast<hsize_t>(count), o.height, o.width};
            space = H5Screate_simple(3, dims, nullptr);
            dataset = H5Dcreate2(file, "/entry/data/data", H5T_STD_U16LE, space, lcpl, H5P_DEFAULT, H5P_DEFAULT);
        }
        fill(frame, i);
        const hsize_t offset[3] = {static_cast<hsize_t>(in_block), 0, 0};
        H5Sselect_hyperslab(space, H5S_SELECT_SET, offset, nullptr, item, nullptr);
        H5Dwrite(dataset, H5T_NATIVE_UINT16, memory, space, H5P_DEFAULT, frame.data());
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
            fd = ::open((dir + "/" + std::to_string(index++) + ".raw").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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
    double total_s;
    double close_s;
    long peak_rss_kb;
};

// One acquisition through a running service: N frames, then a waiting close.
ServiceRun acquisition(const Options& o, const bench::Service& service, const std::string& dir) {
    fs::create_directories(dir);
    brennic::hdf5 master = brennic::hdf5::open(dir + "/master.h5");
    std::vector<std::uint16_t> frame(o.width * o.height);
    const auto start = bench::Clock::now();
    master.create_dataset_append_split(brennic::List{brennic::List{"/entry/data", o.block}});
    for (int i = 0; i < o.frames; ++i) {
        fill(frame, i);
        master.dataset_append_split_map({{"/entry/data", brennic::NdArray::view(frame, {o.height, o.width})}});
    }
    const auto close_start = bench::Clock::now();
    master.close({{"block", true}});
    ServiceRun run{0, bench::seconds_since(close_start), bench::status_kb(service.pid(), "VmHWM")};
    if (o.fsync) sync_files(dir);
    run.total_s = bench::seconds_since(start);
    return run;
}

// A fresh service's first acquisition also faults in its receive memory; a service that runs
// for days reuses it. Both are reported.
std::pair<ServiceRun, ServiceRun> through_service(const Options& o, const std::string& dir) {
    fs::create_directories(dir);
    bench::Service service(o.service, dir, bench::free_port());
    brennic::hdf5 probe = brennic::hdf5::open(dir + "/probe.h5");
    probe.close({{"block", true}});  // the service is up
    const ServiceRun first = acquisition(o, service, dir + "/first");
    fs::remove_all(dir + "/first");
    const ServiceRun second = acquisition(o, service, dir + "/second");
    return {first, second};
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
    CLI11_PARSE(app, argc, argv);
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    const bool own_dir = o.dir.empty();
    if (own_dir) {
        std::string pattern = "/tmp/brennic-bench-XXXXXX";
        o.dir = ::mkdtemp(pattern.data());
    }
    const double mib = static_cast<double>(o.frames) * o.width * o.height * 2 / (1 << 20);
    const double block_mib = static_cast<double>(o.block) * o.width * o.height * 2 / (1 << 20);

    // A pass to bring the page cache into the state the measured passes find; then the
    // baselines first and last around the service, to see the machine's drift.
    direct_writer(o, o.dir + "/warm-up");
    fs::remove_all(o.dir + "/warm-up");
    const double write_s = plain_write(o, o.dir + "/write");
    fs::remove_all(o.dir + "/write");
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
    bench::ratio("peak_rss_vs_block", service.peak_rss_kb / 1024.0 / block_mib);
    if (own_dir) fs::remove_all(o.dir);
    return 0;
}
