// Many small appends through the service against a bare receive-and-decode loop, and the
// close of the collected arrays against a direct HDF5 writer of the same arrays.
//
//   brennic-bench-small --service PATH [--requests N] [--datasets D]
#include <hdf5.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <zelt/Worker.hpp>

#include "bench_support.hpp"

namespace {

namespace fs = std::filesystem;

brennic::Map request_values(int i, int datasets) {
    brennic::Map values;
    for (int d = 0; d < datasets; ++d) {
        values.emplace_back("/entry/values/v" + std::to_string(d), 0.5 * i + d);
    }
    return values;
}

double send_all(brennic::hdf5& file, int requests, int datasets) {
    const auto start = bench::Clock::now();
    for (int i = 0; i < requests; ++i) file.dataset_append_map(request_values(i, datasets));
    // A blocking request on the same connection returns once all before it are served.
    file.close({{"filepath", "not-open.h5"}, {"block", true}});
    return bench::seconds_since(start);
}

// Receives and decodes the same messages and does nothing with them.
double bare_loop(int requests, int datasets, const std::string& dir) {
    const int port = bench::free_port();
    std::ofstream(dir + "/bare.ini") << "[corvane]\nip = 127.0.0.1\nport = " << port << "\n";
    ::setenv("ZELT_CONFIG", (dir + "/bare.ini").c_str(), 1);
    std::atomic<bool> ready{false};
    std::thread receiver([&] {
        zelt::Worker router(zelt::ROUTER, "127.0.0.1", std::to_string(port), false);
        ready = true;
        std::string identity;
        zelt::Value record;
        for (int i = 0; i < requests + 2; ++i) {  // the open, the appends, the final close
            // Bounded: a lost message ends the benchmark instead of hanging it.
            auto sender = router.recv(std::chrono::seconds(60));
            if (!sender) {
                std::fprintf(stderr, "bare loop: request %d of %d did not arrive within 60 s\n", i,
                             requests + 2);
                std::exit(1);
            }
            identity = *sender;
            record = router.recv_loads();
        }
        // The close's reply, with its number, as the service gives it.
        brennic::Map reply{{"ret", "ok"}};
        if (const zelt::Value* seq = zelt::find(*record.as<zelt::Map>(), "seq")) {
            reply.emplace_back("seq", *seq);
        }
        router.send_dumps_id(identity, reply);
    });
    while (!ready) std::this_thread::yield();
    brennic::hdf5 file = brennic::hdf5::open(dir + "/bare.h5");
    const double seconds = send_all(file, requests, datasets);
    receiver.join();
    return seconds;
}

double direct_close(int requests, int datasets, const std::string& path) {
    std::vector<std::vector<double>> columns(static_cast<std::size_t>(datasets));
    for (int d = 0; d < datasets; ++d) {
        columns[static_cast<std::size_t>(d)].resize(static_cast<std::size_t>(requests));
        for (int i = 0; i < requests; ++i)
            columns[static_cast<std::size_t>(d)][static_cast<std::size_t>(i)] = 0.5 * i + d;
    }
    const auto start = bench::Clock::now();
    hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
    H5Pset_libver_bounds(fapl, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
    const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, fapl);
    hid_t lcpl = H5Pcreate(H5P_LINK_CREATE);
    H5Pset_create_intermediate_group(lcpl, 1);
    const hsize_t dims[1] = {static_cast<hsize_t>(requests)};
    for (int d = 0; d < datasets; ++d) {
        const hid_t space = H5Screate_simple(1, dims, nullptr);
        const hid_t dataset = H5Dcreate2(file, ("/entry/values/v" + std::to_string(d)).c_str(),
                                         H5T_IEEE_F64LE, space, lcpl, H5P_DEFAULT, H5P_DEFAULT);
        H5Dwrite(dataset, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT,
                 columns[static_cast<std::size_t>(d)].data());
        H5Dclose(dataset);
        H5Sclose(space);
    }
    H5Pclose(lcpl);
    H5Fclose(file);
    H5Pclose(fapl);
    return bench::seconds_since(start);
}

}  // namespace

int main(int argc, char** argv) {
    std::string service_binary;
    int requests = 1000000;
    int datasets = 10;
    CLI::App app{"Small appends through brennic against a bare receive loop"};
    app.add_option("--service", service_binary, "the brennic program")->required();
    app.add_option("--requests", requests)->capture_default_str();
    app.add_option("--datasets", datasets)->capture_default_str();
    bool journal = false;
    bool journal_sync = false;
    app.add_flag("--journal", journal, "also through a service that keeps a journal");
    app.add_flag("--journal-sync", journal_sync, "also through one whose journal is synced");
    CLI11_PARSE(app, argc, argv);
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    std::string pattern = "/tmp/brennic-bench-XXXXXX";
    const std::string dir = ::mkdtemp(pattern.data());

    const double bare_s = bare_loop(requests, datasets, dir);

    // The same requests into a service without a journal, with one, and with a synced one.
    struct Run {
        double service_s = 0;
        double close_s = 0;
        double bytes_per_scalar = 0;
    };
    auto through_service = [&](const std::string& journal) {
        Run run;
        const std::string here = dir + "/service" + std::to_string(bench::free_port());
        fs::create_directories(here);
        const std::string extra =
            journal.empty()
                ? ""
                : "journal_dir = " + here + "/journal\njournal_sync = " + journal + "\n";
        bench::Service service(service_binary, here, bench::free_port(), {},
                               "bootstrap_servers =\n", extra);
        brennic::hdf5 file = brennic::hdf5::open(here + "/small.h5");
        brennic::List descriptions;
        for (int d = 0; d < datasets; ++d) {
            descriptions.push_back(
                brennic::Map{{"datasetname", "/entry/values/v" + std::to_string(d)}});
        }
        file.create_dataset_append(descriptions);
        file.close({{"filepath", "not-open.h5"}, {"block", true}});
        const long rss_before_kb = bench::status_kb(service.pid(), "VmRSS");
        run.service_s = send_all(file, requests, datasets);
        const long rss_after_kb = bench::status_kb(service.pid(), "VmRSS");
        run.bytes_per_scalar =
            (rss_after_kb - rss_before_kb) * 1024.0 / (static_cast<double>(requests) * datasets);
        const auto close_start = bench::Clock::now();
        file.close({{"block", true}});
        run.close_s = bench::seconds_since(close_start);
        return run;
    };
    const Run plain = through_service("");
    const Run journaled = through_service(journal ? "false" : "");
    const Run synced = journal_sync ? through_service("true") : Run{};
    const double service_s = plain.service_s;
    const double close_s = plain.close_s;
    const double bytes_per_scalar = plain.bytes_per_scalar;
    // Twice, the better one: the first also pays for the page cache it takes.
    const double direct_s = std::min(direct_close(requests, datasets, dir + "/direct.h5"),
                                     direct_close(requests, datasets, dir + "/direct2.h5"));
    fs::remove_all(dir);

    bench::figure("bare loop requests", requests / bare_s, "requests/s");
    bench::figure("service requests", requests / service_s, "requests/s");
    bench::figure("service close", close_s, "s");
    bench::figure("direct writer close", direct_s, "s");
    bench::figure("service memory per scalar", bytes_per_scalar, "bytes");
    bench::ratio("service_vs_bare_loop", bare_s / service_s);
    bench::ratio("close_vs_direct", close_s / direct_s);
    if (journal) {
        bench::figure("journaled service requests", requests / journaled.service_s, "requests/s");
        bench::ratio("journal_vs_plain", plain.service_s / journaled.service_s);
    }
    if (journal_sync) {
        bench::figure("synced journal service requests", requests / synced.service_s, "requests/s");
        bench::ratio("synced_journal_vs_plain", plain.service_s / synced.service_s);
    }
    return 0;
}
