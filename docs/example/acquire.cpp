// An acquisition as a beamline program drives it: metadata, three per-frame values and a
// series of detector frames split into blocks, then a close that waits until the file is
// complete.
//
//   acquire MASTER_FILE [FRAMES] [WIDTH] [HEIGHT] [BLOCK] [COMPRESSION]
//
// The frames are detector-like: Poisson counts of mean 1.5, as a photon-counting detector
// sees a weak signal. A few are drawn once and sent in turn, each stamped with its index, so
// that the time taken is the service's, not the random numbers'. COMPRESSION ("bslz4",
// "blosc-lz4", "blosc-zstd"; default none) has the service write the blocks compressed. On a
// terminal a progress bar shows the frames sent and the rate.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include <brennic/hdf5.hpp>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: acquire MASTER_FILE [FRAMES] [WIDTH] [HEIGHT] [BLOCK] [COMPRESSION]\n";
        return 2;
    }
    const std::string master = argv[1];
    const int frames = argc > 2 ? std::atoi(argv[2]) : 250;
    const std::uint64_t width = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 512;
    const std::uint64_t height = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 512;
    const int block = argc > 5 ? std::atoi(argv[5]) : 100;
    const std::string compression = argc > 6 ? argv[6] : "none";
    using brennic::List;
    using brennic::Map;

    try {
        brennic::hdf5 file = brennic::hdf5::open(master);
        file.create_dataset_map({{"entry", Map{{"title", "demo CT scan"},
                                               {"sample", Map{{"name", "Fe foil"}, {"temperature_K", 295.5}}},
                                               {"instrument", Map{{"energy_keV", 12.5}, {"binning", List{1, 1}}}}}}});
        file.create_dataset_append({Map{{"datasetname", "/entry/instrument/energy"}},
                                    Map{{"datasetname", "/entry/sample/position"}},
                                    Map{{"datasetname", "/entry/instrument/timestamp"}}});
        // A list holding one list is written List{List{...}}: braces around a single List copy it.
        file.create_dataset_append_split(
            List{List{"/entry/data", block, Map{{"compression", compression}}}});

        std::vector<std::vector<std::uint16_t>> drawn(8, std::vector<std::uint16_t>(width * height));
        std::mt19937 random(1);
        std::poisson_distribution<int> counts(1.5);
        for (auto& one : drawn) {
            for (auto& pixel : one) pixel = static_cast<std::uint16_t>(counts(random));
        }
        const bool terminal = ::isatty(STDOUT_FILENO) == 1;
        const double frame_mb = static_cast<double>(width * height * 2) / 1e6;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < frames; ++i) {
            std::vector<std::uint16_t>& frame = drawn[static_cast<std::size_t>(i) % drawn.size()];
            frame[0] = static_cast<std::uint16_t>(i);  // each frame stamped with its index
            // The frame is encoded straight from this buffer into the outgoing message.
            file.dataset_append_split_map({{"/entry/data", brennic::NdArray::view(frame, {height, width})}},
                                          {{"identify", "demo-scan"}, {"CTType", i < 10 ? 1 : 0}});
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            file.dataset_append_map({{"/entry/instrument/energy", 12.5 + 0.001 * i},
                                     {"/entry/sample/position", 0.1 * i},
                                     {"/entry/instrument/timestamp", seconds}});
            if (terminal && (i % 10 == 9 || i + 1 == frames)) {
                const int done = 40 * (i + 1) / frames;
                std::printf("\r[%s%s] %d/%d frames, %.0f MB/s", std::string(done, '#').c_str(),
                            std::string(40 - done, '.').c_str(), i + 1, frames,
                            (i + 1) * frame_mb / std::max(seconds, 1e-9));
                std::fflush(stdout);
            }
        }
        if (terminal) std::printf("\n");
        file.close({{"identify", "demo-scan"}, {"CTType", 0}, {"block", true}});
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("acquired %d frames of %llu x %llu in %.2f s (%.0f MB/s, the close included); "
                    "%s is closed\n",
                    frames, static_cast<unsigned long long>(width),
                    static_cast<unsigned long long>(height), seconds, frames * frame_mb / seconds,
                    master.c_str());
    } catch (const std::exception& error) {
        std::cerr << "acquire: " << error.what() << '\n';
        return 1;
    }
    return 0;
}
