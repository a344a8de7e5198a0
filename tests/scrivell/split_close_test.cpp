#include <unistd.h>

#include <deque>
#include <filesystem>

#include "backend.hpp"

using support::H5Reader;

namespace {

std::string run_json(const std::string& filepath, const std::string& identify = "null",
                     const std::string& image_key = "null") {
    return "{\"tag\": \"scan_run\", \"identify\": " + identify + ", \"image_key\": " + image_key +
           ", \"filepath\": \"" + filepath +
           "\", \"datasetpath\": \"/entry/data/data\", \"beamtimeID\": \"\", \"index\": null}";
}

std::string stop_json(const std::string& filepath, const std::string& identify = "null",
                      const std::string& image_key = "null") {
    return "{\"tag\": \"scan_stop\", \"identify\": " + identify + ", \"image_key\": " + image_key +
           ", \"filepath\": \"" + filepath +
           "\", \"datasetpath\": \"/entry/data\", \"beamtimeID\": \"\", \"index\": null}";
}

// A mock cluster shared by the tests of this file: each test reads what it sent after the
// messages already there.
support::MockKafka& kafka() {
    static support::MockKafka cluster;
    return cluster;
}

}  // namespace

class SplitFiles : public Backend {
  protected:
    SplitFiles() : Backend(kafka().bootstrap()) {}
    void declare(const std::string& filepath, List pairs) {
        run({{"type", "create_dataset_append_split"},
             {"filepath", filepath},
             {"datainfolist", std::move(pairs)}});
    }
    void append(const std::string& filepath, Map items, Map extra = {}) {
        Map record{{"type", "dataset_append_split_map"},
                   {"filepath", filepath},
                   {"map", std::move(items)}};
        for (auto& entry : extra) record.push_back(std::move(entry));
        run(std::move(record));
    }
    // The notifications of this test (those that name `part`, by default the test's own
    // directory), once `count` of them have arrived or ten seconds have passed.
    std::vector<std::string> notifications(std::size_t count, std::string part = "") {
        return notifications_naming(kafka(), part.empty() ? dir.path() + "/" : part, count);
    }
    NdArray frame(std::uint16_t value) {
        frames_.push_back(std::vector<std::uint16_t>(4, value));
        return NdArray::view(frames_.back(), {2, 2});
    }

    std::deque<std::vector<std::uint16_t>> frames_;
};

TEST_F(SplitFiles, BlocksOfThreeBecomeSubFilesLinkedAndAnnounced) {
    declare(path(), {List{"/entry/data", 3}});
    for (std::uint16_t i = 0; i < 7; ++i) {
        append(path(), {{"/entry/data", frame(i)}}, {{"identify", "scan-7"}, {"CTType", 1}});
        if (i == 5) {
            EXPECT_TRUE(std::filesystem::exists(path("0001.h5")));
            EXPECT_FALSE(std::filesystem::exists(path("0002.h5")));
        }
    }
    close(path());
    for (const char* name : {"0000.h5", "0001.h5", "0002.h5"}) {
        EXPECT_EQ(H5Reader(path(name)).type("/entry/data/data"), "uint16") << name;
    }
    H5Reader master{path()};
    EXPECT_EQ(master.members("/entry/data"),
              (std::vector<std::string>{"data_0000", "data_0001", "data_0002"}));
    EXPECT_EQ(master.external_link("/entry/data/data_0001"),
              (std::pair<std::string, std::string>{"0001.h5", "/entry/data/data"}));
    // Each link resolves, through HDF5, to its block's frames in arrival order.
    EXPECT_EQ(master.shape("/entry/data/data_0000"), (std::vector<hsize_t>{3, 2, 2}));
    EXPECT_EQ(master.uint16s("/entry/data/data_0001"),
              (std::vector<std::uint16_t>{3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5}));
    EXPECT_EQ(master.uint16s("/entry/data/data_0002"), (std::vector<std::uint16_t>{6, 6, 6, 6}));
    EXPECT_EQ(notifications(4),
              (std::vector<std::string>{run_json(path("0000.h5"), "\"scan-7\"", "1"),
                                        run_json(path("0001.h5"), "\"scan-7\"", "1"),
                                        run_json(path("0002.h5")), stop_json(path())}));
}

TEST_F(SplitFiles, SplitSizeOneOrLessWritesASubFilePerAppend) {
    declare(path(), {List{"one", 1}});
    append(path(), {{"one", frame(1)}});
    append(path(), {{"one", frame(2)}});
    EXPECT_TRUE(std::filesystem::exists(path("0001.h5")));
    std::filesystem::create_directory(path("zero"));
    open(path("zero/m.h5"));
    declare(path("zero/m.h5"), {List{"none", 0}});
    append(path("zero/m.h5"), {{"none", 5}});
    append(path("zero/m.h5"), {{"none", 6}});
    EXPECT_EQ(H5Reader(path("zero/0001.h5")).int64s("/entry/data/data"),
              std::vector<std::int64_t>{6});
    EXPECT_EQ(notifications(4).size(), 4u);
}

TEST_F(SplitFiles, FurtherSplitDatasetsNameSubFilesAfterTheirLastPartAndOtherMastersAreRefused) {
    declare(path(), {List{"/entry/data", 2}, List{"/entry/pilatus", 1}, List{"/entry/a b.c", 3}});
    // Another master's split dataset in the directory: refused at its registration.
    open(path("second.h5"));
    const std::string error = failure({{"type", "create_dataset_append_split"},
                                       {"filepath", path("second.h5")},
                                       {"datainfolist", List{List{"/entry/data", 2}}}});
    EXPECT_TRUE(Contains(error, path("second.h5")));
    EXPECT_TRUE(Contains(error, path("m.h5")));
    // Sub-file names taken by another split dataset, or by the master itself: refused.
    EXPECT_TRUE(Contains(failure({{"type", "create_dataset_append_split"},
                                  {"filepath", path()},
                                  {"datainfolist", List{List{"/other/pilatus", 2}}}}),
                         "\"/entry/pilatus\""));
    EXPECT_TRUE(Contains(failure({{"type", "open"}, {"filepath", path("pilatus_0003.h5")}}),
                         "pilatus_0000.h5 and on"));
    std::filesystem::create_directory(path("own"));
    open(path("own/det_0001.h5"));
    EXPECT_TRUE(Contains(failure({{"type", "create_dataset_append_split"},
                                  {"filepath", path("own/det_0001.h5")},
                                  {"datainfolist", List{List{"data", 2}, List{"/entry/det", 2}}}}),
                         "named like a sub-file of split dataset \"/entry/det\""));
    append(path(), {{"/entry/data", frame(1)}, {"/entry/pilatus", frame(5)}});
    append(path(), {{"/entry/data", frame(9)}, {"/entry/a b.c", frame(6)}});
    // The same dataset again is a restart at block 0, under its own names.
    declare(path(), {List{"/entry/a b.c", 3}});
    append(path(), {{"/entry/data", frame(2)}, {"/entry/a b.c", frame(7)}});
    close(path());
    H5Reader master{path()};
    EXPECT_EQ(master.external_link("/entry/pilatus/data_0000"),
              (std::pair<std::string, std::string>{"pilatus_0000.h5", "/entry/data/data"}));
    EXPECT_EQ(master.external_link("/entry/a b.c/data_0000"),
              (std::pair<std::string, std::string>{"a_b_c_0000.h5", "/entry/data/data"}));
    EXPECT_EQ(master.uint16s("/entry/data/data_0000"),
              (std::vector<std::uint16_t>{1, 1, 1, 1, 9, 9, 9, 9}));
    EXPECT_EQ(master.uint16s("/entry/data/data_0001"), (std::vector<std::uint16_t>(4, 2)));
    EXPECT_EQ(master.uint16s("/entry/pilatus/data_0000"), (std::vector<std::uint16_t>(4, 5)));
    EXPECT_EQ(master.uint16s("/entry/a b.c/data_0000"), (std::vector<std::uint16_t>(4, 7)));
    EXPECT_EQ(notifications(5, path("")),
              (std::vector<std::string>{run_json(path("pilatus_0000.h5")),
                                        run_json(path("0000.h5")), run_json(path("0001.h5")),
                                        run_json(path("a_b_c_0000.h5")), stop_json(path())}));
}

TEST_F(SplitFiles, MasterPathWithoutDirectoryWritesBesideTheWorkingDirectory) {
    const auto previous = std::filesystem::current_path();
    std::filesystem::create_directory(path("here"));
    std::filesystem::current_path(path("here"));
    open("bare.h5");
    declare("bare.h5", {List{"/entry/data", 1}});
    append("bare.h5", {{"/entry/data", frame(1)}});
    std::filesystem::current_path(previous);
    EXPECT_TRUE(std::filesystem::exists(path("here/0000.h5")));
    EXPECT_EQ(notifications(1, "\"0000.h5\"").back(), run_json("0000.h5"));
    EXPECT_EQ(scrivell::dirpath_of("/data/scan1/m.h5"), "/data/scan1");
    EXPECT_EQ(scrivell::dirpath_of("/m.h5"), "/");
    EXPECT_EQ(scrivell::dirpath_of("//m.h5"), "/");
    EXPECT_EQ(scrivell::dirpath_of("a//m.h5"), "a");
    EXPECT_EQ(scrivell::dirpath_of("m.h5"), "");
}

TEST_F(SplitFiles, RegisteringAgainDropsTheStreamingBlockAndNeverReplacesWrittenOnes) {
    declare(path(), {List{"/entry/data", 2}});
    append(path(), {{"/entry/data", frame(1)}});
    append(path(), {{"/entry/data", frame(2)}});
    append(path(), {{"/entry/data", frame(3)}});  // the first row of block 1
    EXPECT_TRUE(std::filesystem::exists(path(".0001.h5.part")));
    declare(path(), {List{"/entry/data", 2}});
    EXPECT_FALSE(std::filesystem::exists(path(".0001.h5.part")));
    // Block 0 again would replace data that data_0000 still points at: refused, naming both.
    const std::string error = failure({{"type", "dataset_append_split_map"},
                                       {"filepath", path()},
                                       {"map", Map{{"/entry/data", frame(4)}}}});
    EXPECT_TRUE(Contains(error, "\"/entry/data/data_0000\""));
    EXPECT_TRUE(Contains(error, "in \"0000.h5\""));
    EXPECT_FALSE(std::filesystem::exists(path(".0000.h5.part")));
    close(path());
    EXPECT_EQ(H5Reader(path("0000.h5")).uint16s("/entry/data/data"),
              (std::vector<std::uint16_t>{1, 1, 1, 1, 2, 2, 2, 2}));
    EXPECT_FALSE(std::filesystem::exists(path("0001.h5")));
}

TEST_F(SplitFiles, CloseOfAFileNotOpenSaysSoAndChangesNothing) {
    EXPECT_EQ(run_capturing({{"type", "close"}, {"filepath", path("never.h5")}}),
              "closed file not opened " + path("never.h5") + "\n");
    close(path());
    EXPECT_EQ(run_capturing({{"type", "close"}, {"filepath", path()}}),
              "closed file not opened " + path() + "\n");
    EXPECT_EQ(run_capturing({{"type", "open"}, {"filepath", path("x.h5")}}), "");
    EXPECT_EQ(run_capturing({{"type", "open"}, {"filepath", path("x.h5")}}),
              "file already opened:  " + path("x.h5") + "\n");
    // A file without datasets still announces its close, once.
    close(path("x.h5"));
    EXPECT_EQ(notifications(2),
              (std::vector<std::string>{stop_json(path()), stop_json(path("x.h5"))}));
}

TEST_F(SplitFiles, CloseAllClosesInOpeningOrderWithoutIdentify) {
    open(path("b.h5"));
    open(path("c.h5"));
    close(path("b.h5"));
    open(path("b.h5"));  // counts from its latest open
    run({{"type", "create_dataset_append"},
         {"filepath", path("c.h5")},
         {"dataset_info_list", List{Map{{"datasetname", "x"}}}}});
    run({{"type", "dataset_append_map"}, {"filepath", path("c.h5")}, {"map", Map{{"x", 1}}}});
    run({{"type", "closeAll"}, {"identify", "ignored"}});
    EXPECT_TRUE(scrivell.open_paths().empty());
    EXPECT_EQ(notifications(4),
              (std::vector<std::string>{stop_json(path("b.h5")), stop_json(path()),
                                        stop_json(path("c.h5")), stop_json(path("b.h5"))}));
    EXPECT_EQ(H5Reader(path("c.h5")).int64s("x"), std::vector<std::int64_t>{1});
    open(path("c.h5"));
    EXPECT_TRUE(of_file(scrivell, path("c.h5"), "appendable").empty());
    EXPECT_TRUE(of_file(scrivell, path("c.h5"), "split").empty());
    run({{"type", "closeAll"}});
    run({{"type", "closeAll"}});  // nothing open: nothing to do
}

TEST_F(SplitFiles, OpenKeepsAnExistingFileAndTextsAreTwoKeys) {
    run({{"type", "create_dataset_map"}, {"filepath", path()}, {"map", Map{{"kept", 1}}}});
    close(path());
    open(path());
    run({{"type", "create_dataset_map"}, {"filepath", path()}, {"map", Map{{"added", 2}}}});
    close(path());
    {
        H5Reader file{path()};
        EXPECT_EQ(file.int64("kept"), 1);
        EXPECT_EQ(file.int64("added"), 2);
    }
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    open("m.h5");
    open(path());
    std::filesystem::current_path(previous);
    EXPECT_EQ(scrivell.open_paths().size(), 2u);
    EXPECT_TRUE(Contains(failure({{"type", "open"}, {"filepath", path("no/dir.h5")}}), "dir.h5"));
    EXPECT_FALSE(scrivell.is_open(path("no/dir.h5")));
    for (const char* type : {"process", "files", "files_split"}) {
        EXPECT_TRUE(
            Contains(failure({{"type", type}, {"filepath", path()}}), "names no operation"));
    }
    EXPECT_TRUE(Contains(failure({{"filepath", path()}}), "no \"type\""));
    EXPECT_EQ(scrivell.open_paths().size(), 2u);
}

class UnreachableKafka : public Backend {
  protected:
    // Nothing listens on this port: no broker answers.
    UnreachableKafka() : Backend("127.0.0.1:" + std::to_string(support::free_port()), 10000) {}
};

TEST_F(UnreachableKafka, BlockIsWrittenOnceAndItsNotificationOwedWithoutWaiting) {
    run({{"type", "create_dataset_append_split"},
         {"filepath", path()},
         {"datainfolist", List{List{"/entry/data", 1}}}});
    const Map append{{"type", "dataset_append_split_map"},
                     {"filepath", path()},
                     {"map", Map{{"/entry/data", 1}}}};
    // Written and linked: the item is done, and its notification owed, without waiting for
    // a broker.
    const auto before = std::chrono::steady_clock::now();
    run(append);
    run(append);
    // Well below the 10 s time-out, with room for any machine: no broker was waited for.
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(5000));
    EXPECT_TRUE(std::filesystem::exists(path("0000.h5")));
    const Map split = of_file(scrivell, path(), "split", "/entry/data");
    EXPECT_EQ(*zelt::find(split, "splitFileIndex"), Value(2));
    EXPECT_FALSE(zelt::find(split, "current"));
    EXPECT_EQ(scrivell.notifications_owed(), 2u);
    // Notifications of earlier blocks never hold the file open; the stop line is printed.
    const std::string out = run_capturing({{"type", "close"}, {"filepath", path()}});
    EXPECT_EQ(out.rfind("send2vesk_stop error notification scan_stop for \"" + path() + "\"", 0),
              0u)
        << out;
    EXPECT_FALSE(scrivell.is_open(path()));
    EXPECT_EQ(scrivell.notifications_owed(), 3u);
    H5Reader master{path()};
    EXPECT_EQ(master.int64s("/entry/data/data_0000"), std::vector<std::int64_t>{1});
    EXPECT_EQ(master.int64s("/entry/data/data_0001"), std::vector<std::int64_t>{1});
}
