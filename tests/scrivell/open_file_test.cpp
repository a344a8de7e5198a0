// OpenFile and SplitStream on their own: a file opened with its services, and its streams
// driven through their public operations, every count checked against the files written.
#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <filesystem>

#include "Budget.hpp"
#include "Journal.hpp"
#include "OpenFile.hpp"
#include "Outbox.hpp"
#include "compression_pool.hpp"
#include "support.hpp"

using zelt::List;
using zelt::Map;
using zelt::NdArray;
using zelt::Value;

namespace {

// The services one backend gives its files, without notifications.
struct Around {
    Around() : outbox(scrivell::VeskSettings{}), pool(1), budget(0, 0) {
        spdlog::set_level(spdlog::level::warn);
    }
    scrivell::Outbox outbox;
    scrivell::CompressionPool pool;
    scrivell::Budget budget;
    scrivell::Counters counters;
    scrivell::Services services{outbox, pool, budget, counters};
};

std::unique_ptr<scrivell::OpenFile> open_in(const support::TempDir& dir, Around& around,
                                            const scrivell::JournalDirectory* journals = nullptr) {
    const std::string master = dir / "m.h5";
    return scrivell::OpenFile::open(master, scrivell::Directory::of_master(master, {}), journals,
                                    around.services);
}

std::string sub_file(const Map& split, std::int64_t block) {
    const std::string* pattern = zelt::find(split, "sub_files")->as<std::string>();
    char name[4096];
    std::snprintf(name, sizeof name, pattern->c_str(), static_cast<int>(block));
    return name;
}

std::int64_t integer(const Map& map, const char* key) {
    return *zelt::find(map, key)->as<std::int64_t>();
}

}  // namespace

// For every block size and storage, after every frame: status's counts are what the files
// hold, the frames readable are those taken once published, and the stack at close maps them
// all.
TEST(SplitStream, ItsCountsAreWhatItsFilesHoldAfterEveryFrame) {
    for (const std::int64_t size : {1, 3, 4}) {
        for (const char* codec : {"none", "bslz4"}) {
            SCOPED_TRACE(std::string(codec) + ", splitSize " + std::to_string(size));
            support::TempDir dir;
            Around around;
            auto file = open_in(dir, around);
            const std::string name = "/entry/data";
            auto [read_name, settings] = scrivell::SplitSettings::from_element(
                List{name, size, Map{{"compression", codec}, {"vds", true}}}, "element 0");
            EXPECT_EQ(read_name, name);
            settings.stem = file->split_stem(name, settings, "element 0");
            file->register_split(name, settings);
            const std::int64_t frames = 10;
            for (std::int64_t i = 0; i < frames; ++i) {
                std::vector<std::uint16_t> pixels(64, static_cast<std::uint16_t>(i));
                file->append_split(Map{{name, NdArray::view(pixels, {8, 8}).owned_copy()}}, Map{});
                file->publish_and_journal();
                file->write_pending();
                file->publish_and_journal();
                const Map split =
                    *zelt::find(*zelt::find(file->status(), "split")->as<Map>(), name)->as<Map>();
                EXPECT_EQ(integer(split, "frames_readable"), i + 1);
                const std::int64_t finished = (i + 1) / size;
                EXPECT_EQ(integer(split, "splitFileIndex"), finished);
                EXPECT_EQ(integer(split, "rows"), (i + 1) % size);
                EXPECT_EQ(integer(split, "raw_bytes"), (i + 1) * 128);
                for (std::int64_t b = 0; b < finished; ++b) {
                    EXPECT_EQ(support::H5Reader(sub_file(split, b)).shape("/entry/data/data")[0],
                              static_cast<hsize_t>(size));
                }
            }
            EXPECT_EQ(file->rows_with_workers(), 0u);
            const auto written = file->write_out(Map{}, false);
            EXPECT_EQ(written.blocks, frames % size ? 1u : 0u);
            EXPECT_EQ(file->close("", "scan_stop", false), "");
            support::H5Reader master(dir / "m.h5");
            EXPECT_EQ(master.shape("/entry/data/data"), (std::vector<hsize_t>{frames, 8, 8}));
            EXPECT_TRUE(file->failures().empty());
        }
    }
}

// What a file holds is counted while it holds it, and given back whatever way it goes: its
// values and descriptors at close or at a failed restore alike.
TEST(Budget, EveryShareIsGivenBackWhenItsHolderGoes) {
    support::TempDir dir;
    Around around;
    std::filesystem::create_directory(dir / "journal");
    scrivell::JournalDirectory journals(dir / "journal", false);
    auto file = open_in(dir, around, &journals);
    EXPECT_EQ(around.budget.held(scrivell::Budget::Kind::Descriptors), 3u);
    file->register_appendable(List{Map{{"datasetname", "x"}}});
    const Value values(Map{{"x", std::int64_t{1}}});
    for (int i = 0; i < 4; ++i) file->append(values);
    EXPECT_EQ(around.budget.held(scrivell::Budget::Kind::Values), 4 * 8u);
    // Registered again: the values so far are dropped, and so is their share.
    file->register_appendable(List{Map{{"datasetname", "x"}}});
    EXPECT_EQ(around.budget.held(scrivell::Budget::Kind::Values), 0u);
    file->append(values);
    file->register_split("/entry/data", {2, {}, "", false});
    file->append_split(Map{{"/entry/data", std::int64_t{7}}}, Map{});
    EXPECT_EQ(around.budget.held(scrivell::Budget::Kind::Descriptors), 4u);
    file.reset();
    EXPECT_EQ(around.budget.held(scrivell::Budget::Kind::Values), 0u);
    EXPECT_EQ(around.budget.held(scrivell::Budget::Kind::Descriptors), 0u);
    EXPECT_EQ(around.budget.held_bytes(), 0u);
}
