#include <sys/resource.h>

#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <regex>
#include <thread>

#include "backend.hpp"

using support::H5Reader;

namespace {

support::MockKafka& kafka() {
    static support::MockKafka cluster;
    return cluster;
}

// The files of a directory whose names start with ".": hidden blocks left behind.
std::vector<std::string> hidden_files(const std::string& directory) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        const std::string name = entry.path().filename();
        if (name[0] == '.') out.push_back(name);
    }
    return out;
}

// The layout HDF5 reports for a dataset: contiguous with no filters, or what it is instead.
std::string layout_of(const std::string& file, const std::string& dataset) {
    const hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    const hid_t d = H5Dopen2(f, dataset.c_str(), H5P_DEFAULT);
    const hid_t dcpl = H5Dget_create_plist(d);
    const bool contiguous = H5Pget_layout(dcpl) == H5D_CONTIGUOUS;
    const int filters = H5Pget_nfilters(dcpl);
    H5Pclose(dcpl);
    H5Dclose(d);
    H5Fclose(f);
    return (contiguous ? "contiguous" : "other") + std::string(", filters ") +
           std::to_string(filters);
}

}  // namespace

class Streaming : public Backend {
  protected:
    Streaming() : Backend(kafka().bootstrap(), 2000) {}
    void declare(List pairs) {
        run({{"type", "create_dataset_append_split"},
             {"filepath", path()},
             {"datainfolist", std::move(pairs)}});
    }
    Map append_request(Value item, Map extra = {}) {
        Map record{{"type", "dataset_append_split_map"},
                   {"filepath", path()},
                   {"map", Map{{"/entry/data", std::move(item)}}}};
        for (auto& entry : extra) record.push_back(std::move(entry));
        return record;
    }
    void append(Value item, Map extra = {}) {
        run(append_request(std::move(item), std::move(extra)));
    }
    NdArray frame(std::uint16_t value, std::uint64_t side = 2) {
        frames_.push_back(std::vector<std::uint16_t>(side * side, value));
        return NdArray::view(frames_.back(), {side, side});
    }
    // This test's notifications, once `count` have arrived or ten seconds have passed.
    std::vector<std::string> notifications(std::size_t count) {
        return notifications_naming(kafka(), dir.path() + "/", count);
    }
    std::string run_message(const std::string& name) {
        return scrivell::notification_json("scan_run", Value(), Value(), path(name),
                                           "/entry/data/data");
    }

    std::deque<std::vector<std::uint16_t>> frames_;
};

TEST_F(Streaming, RowsGoToAHiddenFileThatIsRenamedWhenFullAndTheLastBlockIsExact) {
    declare({List{"/entry/data", 3}});
    append(frame(0));
    append(frame(1));
    // The rows are on disk, under a name no reader takes for a sub-file.
    EXPECT_EQ(hidden_files(dir.path()), std::vector<std::string>{".0000.h5.part"});
    EXPECT_FALSE(std::filesystem::exists(path("0000.h5")));
    append(frame(2));
    EXPECT_TRUE(hidden_files(dir.path()).empty());
    for (std::uint16_t i = 3; i < 5; ++i) append(frame(i));
    close(path());
    EXPECT_TRUE(hidden_files(dir.path()).empty());
    H5Reader full{path("0000.h5")};
    EXPECT_EQ(full.shape("/entry/data/data"), (std::vector<hsize_t>{3, 2, 2}));
    EXPECT_EQ(full.uint16s("/entry/data/data"),
              (std::vector<std::uint16_t>{0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2}));
    H5Reader last{path("0001.h5")};
    EXPECT_EQ(last.shape("/entry/data/data"), (std::vector<hsize_t>{2, 2, 2}));
    EXPECT_EQ(last.uint16s("/entry/data/data"),
              (std::vector<std::uint16_t>{3, 3, 3, 3, 4, 4, 4, 4}));
    for (const char* name : {"0000.h5", "0001.h5"}) {
        EXPECT_EQ(layout_of(path(name), "/entry/data/data"), "contiguous, filters 0") << name;
    }
    EXPECT_EQ(H5Reader(path()).uint16s("/entry/data/data_0001"), last.uint16s("/entry/data/data"));
    EXPECT_EQ(notifications(3)[1], run_message("0001.h5"));
}

TEST_F(Streaming, ScalarItemsStreamAndIntegersWidenOnlyIntoFloatBlocks) {
    declare({List{"/entry/data", 3}});
    append(1.5);
    append(2);  // an integer in a block of floats is stored as a float
    append(3.25);
    append(7);  // block 1 holds integers
    const std::string error = failure(append_request(0.5));
    EXPECT_TRUE(Contains(
        error, "the item is a floating-point number (<f8), but block 0001.h5 holds <i8 () rows"))
        << error;
    append(8);
    close(path());
    EXPECT_EQ(H5Reader(path("0000.h5")).float64s("/entry/data/data"),
              (std::vector<double>{1.5, 2.0, 3.25}));
    EXPECT_EQ(H5Reader(path("0001.h5")).int64s("/entry/data/data"),
              (std::vector<std::int64_t>{7, 8}));
}

TEST_F(Streaming, AnItemThatDiffersIsRefusedAtItsAppendAndTheBlockKeepsItsRows) {
    declare({List{"/entry/data", 2}});
    append(frame(1));
    const std::string error = failure(append_request(frame(2, 3)));
    EXPECT_TRUE(Contains(error,
                         "split dataset \"/entry/data\": the item is an array <u2 (3, 3), "
                         "but block 0000.h5 holds <u2 (2, 2) rows"))
        << error;
    const std::vector<float> other(4, 1.0f);
    EXPECT_TRUE(Contains(failure(append_request(NdArray::view(other, {2, 2}))), "<f4 (2, 2)"));
    EXPECT_TRUE(Contains(failure(append_request("text")), "the item is a text, but"));
    append(frame(3));
    EXPECT_EQ(H5Reader(path("0000.h5")).uint16s("/entry/data/data"),
              (std::vector<std::uint16_t>{1, 1, 1, 1, 3, 3, 3, 3}));
}

TEST_F(Streaming, ARowThatCannotBeWrittenFailsItsAppendAndTheNextItemTakesIt) {
    declare({List{"/entry/data", 2}});
    append(frame(1, 64));  // rows of 8 KiB
    // The file may not grow past the middle of row 1: its write fails as on a full disk.
    const auto hidden = path(".0000.h5.part");
    const auto size = std::filesystem::file_size(hidden);
    std::string error;
    {
        const support::FileSizeLimit limit(size - 4096);
        error = failure(append_request(frame(2, 64)));
    }
    EXPECT_TRUE(Contains(error, "write row 1 of \"" + hidden + "\": File too large")) << error;
    EXPECT_FALSE(std::filesystem::exists(path("0000.h5")));
    append(frame(3, 64));
    const auto rows = H5Reader(path("0000.h5")).uint16s("/entry/data/data");
    ASSERT_EQ(rows.size(), 2u * 64 * 64);
    EXPECT_EQ(rows.front(), 1);
    EXPECT_EQ(rows.back(), 3);
}

TEST_F(Streaming, SplitSizeMustBeAWholeCountOfRows) {
    const struct {
        Value size;
        std::string says;
    } refused[] = {
        {"12", "splitSize \"12\" is a text, not a whole number"},
        {std::numeric_limits<double>::quiet_NaN(), "is not a finite number"},
        {std::numeric_limits<double>::infinity(), "is not a finite number"},
        {2.5, "splitSize 2.5 is not a whole number"},
        {1e300, "is too large"},
        {std::numeric_limits<std::uint64_t>::max(), "is too large"},
        {Value(), "is a null"},
    };
    for (const auto& c : refused) {
        const std::string error = failure({{"type", "create_dataset_append_split"},
                                           {"filepath", path()},
                                           {"datainfolist", List{List{"/entry/data", c.size}}}});
        EXPECT_TRUE(Contains(error, "element 0: ")) << error;
        EXPECT_TRUE(Contains(error, c.says)) << error;
    }
    EXPECT_TRUE(of_file(scrivell, path(), "split").empty());
    declare({List{"/entry/data", 2.0}});
    EXPECT_EQ(*zelt::find(of_file(scrivell, path(), "split", "/entry/data"), "splitSize"), Value(2));
    declare({List{"/entry/data", -3}});
    EXPECT_EQ(*zelt::find(of_file(scrivell, path(), "split", "/entry/data"), "splitSize"), Value(1));
}

TEST_F(Streaming, AnotherScansSubFileIsNeverReplacedButAStaleFileIs) {
    support::write_int64s(path("0000.h5"), "/entry/data/data", {41, 42});
    {
        std::ofstream stale(path("0001.h5"));
        stale << "not HDF5";
    }
    declare({List{"/entry/data", 1}});
    const std::string error = failure(append_request(5));
    EXPECT_TRUE(Contains(error, "\"" + path("0000.h5") +
                                    "\" already holds a block of another "
                                    "scan; write this scan into a new directory"))
        << error;
    EXPECT_EQ(H5Reader(path("0000.h5")).int64s("/entry/data/data"),
              (std::vector<std::int64_t>{41, 42}));
    EXPECT_TRUE(hidden_files(dir.path()).empty());
    // Once the other scan's block is gone, the refused item's place is taken by the next.
    std::filesystem::remove(path("0000.h5"));
    append(5);
    EXPECT_EQ(H5Reader(path("0000.h5")).int64s("/entry/data/data"), std::vector<std::int64_t>{5});
    // A map write at a block's link path, written or to come, is refused: the block could
    // never be linked.
    for (const char* taken :
         {"/entry/data/data_0001", "entry//data/data_0002/x", "/entry/data", "entry"}) {
        EXPECT_TRUE(Contains(
            failure(
                {{"type", "create_dataset_map"}, {"filepath", path()}, {"map", Map{{taken, 1}}}}),
            "is where split dataset \"/entry/data\" links its blocks"))
            << taken;
    }
    run({{"type", "create_dataset_map"}, {"filepath", path()}, {"map", Map{{"/entry/data/x", 1}}}});
    append(6);
    EXPECT_EQ(H5Reader(path()).int64s("/entry/data/data_0001"), std::vector<std::int64_t>{6});
}

TEST_F(Streaming, AnIdentifyWithoutJsonFormFailsBeforeItsRowIsWritten) {
    declare({List{"/entry/data", 2}});
    append(1);
    const std::uint8_t bytes[] = {1};
    EXPECT_THROW(run(append_request(2, {{"identify", NdArray::view(bytes, {1})}})),
                 scrivell::NotifyError);
    EXPECT_EQ(scrivell.notifications_owed(), 0u);
    append(3, {{"identify", "ok"}});
    EXPECT_EQ(H5Reader(path("0000.h5")).int64s("/entry/data/data"),
              (std::vector<std::int64_t>{1, 3}));
}

TEST_F(Streaming, AnOutageMidScanStallsNothingAndEveryBlockIsAnnouncedInOrder) {
    declare({List{"/entry/data", 2}});
    append(frame(0));
    append(frame(1));
    // Block 0's notification acknowledged before the brokers go: one cut off mid-way would
    // be sent again, as at-least-once delivery does.
    auto deliver_all = [&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (scrivell.notifications_owed() > 0 && std::chrono::steady_clock::now() < deadline) {
            scrivell.deliver_owed();
        }
    };
    deliver_all();
    kafka().set_down(true);
    // Every item is answered: its block is written and linked, its notification owed.
    for (std::uint16_t i = 2; i < 7; ++i) run(append_request(frame(i)));
    // The close waits for the notification of its own last block: it fails, and stays open.
    EXPECT_THROW(close(path()), scrivell::NotifyError);
    EXPECT_TRUE(scrivell.is_open(path()));
    EXPECT_TRUE(hidden_files(dir.path()).empty());
    kafka().set_down(false);
    deliver_all();
    close(path());  // announces nothing again: the last block went out with the others
    EXPECT_FALSE(scrivell.is_open(path()));
    // Every block once, with exactly its rows, and every notification in block order.
    for (const char* name : {"0000.h5", "0001.h5", "0002.h5"}) {
        EXPECT_EQ(H5Reader(path(name)).shape("/entry/data/data"), (std::vector<hsize_t>{2, 2, 2}))
            << name;
    }
    EXPECT_EQ(H5Reader(path("0003.h5")).shape("/entry/data/data"), (std::vector<hsize_t>{1, 2, 2}));
    EXPECT_EQ(notifications(5),
              (std::vector<std::string>{run_message("0000.h5"), run_message("0001.h5"),
                                        run_message("0002.h5"), run_message("0003.h5"),
                                        scrivell::notification_json("scan_stop", Value(), Value(),
                                                                    path(), "/entry/data")}));
}

TEST(Progress, ReadersHearHowFarTheyMayReadAsBlocksFillAndAtTheClose) {
    support::TempDir dir;
    scrivell::Settings settings;
    settings.vesk = vesk_to(kafka().bootstrap(), 2000);
    settings.vesk.progress_topic = "scan-progress";
    settings.vesk.progress_frames = 3;
    settings.vesk.progress_ms = 3600 * 1000;  // told by frames only
    scrivell::Scrivell scrivell(settings);
    const std::string master = dir / "p.h5";
    scrivell.process({{"type", "open"}, {"filepath", master}});
    scrivell.process({{"type", "create_dataset_append_split"},
                      {"filepath", master},
                      {"datainfolist", List{List{"/entry/data", 4}}}});
    for (std::int64_t i = 0; i < 10; ++i) {
        scrivell.process({{"type", "dataset_append_split_map"},
                          {"filepath", master},
                          {"identify", Map{{"scan", 7}}},
                          {"map", Map{{"/entry/data", i}}}});
        scrivell.tell_progress_if_due();
    }
    scrivell.process({{"type", "close"}, {"filepath", master}});
    // Told: the first frame, every 3 frames since the last told, each block finished, and the
    // close. A message not yet sent gives way to a newer one about the same dataset: some
    // may be left out, never reordered, and the last is the close's.
    const std::regex told(
        "\\{\"tag\": \"scan_progress\", \"identify\": \\{\"scan\": 7\\}, \"filepath\": \"" +
        master + "\", \"datasetpath\": \"/entry/data\", \"frames_readable\": (\\d+), " +
        "\"blocks_complete\": (\\d), \"current\": (null|\\{.*\\}), \"final\": (true|false)\\}");
    std::vector<std::string> mine;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((mine.empty() || mine.back().find("\"final\": true") == std::string::npos) &&
           std::chrono::steady_clock::now() < deadline) {
        mine.clear();
        for (const auto& message : kafka().progress(kafka().progress(0, {}).size() + 1,
                                                    std::chrono::milliseconds(200))) {
            if (message.find(master) != std::string::npos) mine.push_back(message);
        }
    }
    ASSERT_FALSE(mine.empty());
    std::int64_t last = 0;
    const std::map<std::int64_t, std::string> expected{
        {1, "0 {\"file\": \"" + dir.path() + "/.0000.h5.part\", \"first_frame\": 0, \"rows\": 1, "
            "\"swmr\": false}"},  // the first frame at once
        {4, "1 null"},
        {7, "1 {\"file\": \"" + dir.path() + "/.0001.h5.part\", \"first_frame\": 4, \"rows\": 3, "
            "\"swmr\": false}"},
        {8, "2 null"},
        {10, "3 null"}};
    for (std::size_t i = 0; i < mine.size(); ++i) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(mine[i], parts, told)) << mine[i];
        const std::int64_t readable = std::stoll(parts[1]);
        EXPECT_GE(readable, last) << mine[i];
        ASSERT_TRUE(expected.count(readable)) << mine[i];
        EXPECT_EQ(parts[2].str() + " " + parts[3].str(), expected.at(readable)) << mine[i];
        EXPECT_EQ(parts[4] == "true", i + 1 == mine.size()) << mine[i];
        last = readable;
    }
    EXPECT_EQ(last, 10);
}
