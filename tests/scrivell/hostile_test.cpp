// What another user of the host can plant in a data directory, and what a careless client can
// send: the backend neither writes outside its directories nor stores a value other than sent.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <thread>

#include "backend.hpp"

namespace {

using support::H5Reader;
using zelt::List;
using zelt::Map;
using zelt::NdArray;
using zelt::Value;

std::string file_text(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A file made with HDF5 before the service opens it: what an earlier writer or another user
// left there.
void make_file(const std::string& path, const std::function<void(hid_t)>& fill) {
    const hid_t f = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    ASSERT_GE(f, 0) << path;
    fill(f);
    H5Fclose(f);
}

void make_dataset(hid_t f, const char* name, hid_t type, std::vector<hsize_t> dims,
                  const void* data) {
    const hid_t space = dims.empty()
                            ? H5Screate(H5S_SCALAR)
                            : H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr);
    const hid_t d = H5Dcreate2(f, name, type, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    H5Dwrite(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, data);
    H5Dclose(d);
    H5Sclose(space);
}

class Hostile : public Backend {
  protected:
    void declare(const std::string& filepath, std::int64_t size) {
        run({{"type", "create_dataset_append_split"},
             {"filepath", filepath},
             {"datainfolist", List{List{"/entry/data", size}}}});
    }
    void append(const std::string& filepath, Value item) {
        run({{"type", "dataset_append_split_map"},
             {"filepath", filepath},
             {"map", Map{{"/entry/data", std::move(item)}}}});
    }
    std::string write_failure(const std::string& filepath, Map map) {
        return failure({{"type", "create_dataset_map"}, {"filepath", filepath}, {"map", map}});
    }
};

TEST_F(Hostile, PlantedLinksAndPipesAtBlockNamesAreNeverFollowed) {
    std::filesystem::create_directories(path("scan"));
    std::filesystem::create_directories(path("elsewhere"));
    const std::string victim = path("elsewhere/victim");
    std::ofstream(victim) << "someone else's";
    const std::string master = path("scan/m.h5");
    open(master);
    declare(master, 2);
    // A link planted at the hidden name of the block about to begin is removed, not written
    // through; one at the final name is replaced itself when the block is renamed.
    std::filesystem::create_symlink(victim, path("scan/.0000.h5.part"));
    std::filesystem::create_symlink(victim, path("scan/0000.h5"));
    append(master, 1);
    append(master, 2);
    EXPECT_EQ(file_text(victim), "someone else's");
    EXPECT_FALSE(std::filesystem::is_symlink(path("scan/0000.h5")));
    EXPECT_EQ(H5Reader(path("scan/0000.h5")).int64s("/entry/data/data"),
              (std::vector<std::int64_t>{1, 2}));
    // A named pipe at the next block's name is refused at once, without waiting for a writer.
    ASSERT_EQ(::mkfifo(path("scan/0001.h5").c_str(), 0666), 0);
    const std::string error = failure({{"type", "dataset_append_split_map"},
                                       {"filepath", master},
                                       {"map", Map{{"/entry/data", 3}}}});
    EXPECT_TRUE(Contains(error, "is a named pipe, not a regular file")) << error;
    // A directory made at the final name while the block fills: the rename is refused, the
    // rows kept, and the block is finished by the next item once the name is free, which
    // itself goes to the next block.
    ::unlink(path("scan/0001.h5").c_str());
    append(master, 3);
    std::filesystem::create_directories(path("scan/0001.h5"));
    EXPECT_TRUE(Contains(failure({{"type", "dataset_append_split_map"},
                                  {"filepath", master},
                                  {"map", Map{{"/entry/data", 4}}}}),
                         "a directory is in the way"));
    std::filesystem::remove(path("scan/0001.h5"));
    append(master, 5);
    close(master);
    H5Reader file{master};
    EXPECT_EQ(file.int64s("/entry/data/data_0001"), (std::vector<std::int64_t>{3, 4}));
    EXPECT_EQ(file.int64s("/entry/data/data_0002"), (std::vector<std::int64_t>{5}));
    EXPECT_EQ(file_text(victim), "someone else's");
}

TEST_F(Hostile, ABlockOfAnotherScanThatAppearsWhileOneFillsIsNeverReplaced) {
    declare(path(), 2);
    append(path(), 1);
    support::write_int64s(path("0000.h5"), "/entry/data/data", {41, 42});
    EXPECT_TRUE(Contains(failure({{"type", "dataset_append_split_map"},
                                  {"filepath", path()},
                                  {"map", Map{{"/entry/data", 2}}}}),
                         "it holds a block of another scan now"));
    EXPECT_EQ(H5Reader(path("0000.h5")).int64s("/entry/data/data"),
              (std::vector<std::int64_t>{41, 42}));
}

TEST_F(Hostile, ADirectorySwappedForALinkAfterOpenCannotRedirectBlocks) {
    std::filesystem::create_directories(path("scan"));
    std::filesystem::create_directories(path("outside"));
    const std::string master = path("scan/m.h5");
    open(master);
    declare(master, 1);
    append(master, 1);
    // Another user renames the directory and leaves a link to elsewhere under its old name.
    std::filesystem::rename(path("scan"), path("moved"));
    std::filesystem::create_directory_symlink(path("outside"), path("scan"));
    append(master, 2);
    append(master, 3);
    EXPECT_TRUE(std::filesystem::is_empty(path("outside")));
    EXPECT_EQ(H5Reader(path("moved/0002.h5")).int64s("/entry/data/data"),
              std::vector<std::int64_t>{3});
}

TEST_F(Hostile, MastersAndBlocksNeverTakeEachOthersNames) {
    std::filesystem::create_directories(path("a"));
    std::filesystem::create_directories(path("b"));
    // An open master named like a block: a split dataset beside it is refused...
    open(path("a/0000.h5"));
    open(path("a/m.h5"));
    EXPECT_TRUE(Contains(failure({{"type", "create_dataset_append_split"},
                                  {"filepath", path("a/m.h5")},
                                  {"datainfolist", List{List{"/entry/data", 1}}}}),
                         "which is named like one"));
    // ...and a master named like a block beside a split dataset is refused at its open.
    open(path("b/m.h5"));
    declare(path("b/m.h5"), 1);
    EXPECT_TRUE(Contains(failure({{"type", "open"}, {"filepath", path("b/0000.h5")}}),
                         "is named like a sub-file"));
    EXPECT_FALSE(std::filesystem::exists(path("b/0000.h5")));
}

// Each split dataset links its blocks, and may stack its frames, inside its own group: one
// registered inside or around another is refused naming the first, and every block of the
// first is linked and stacked at close.
TEST_F(Hostile, SplitDatasetsNeverNestAndEveryBlockIsLinked) {
    const struct {
        const char* first;
        bool vds;
        const char* second;
        const char* said;
    } cases[] = {
        {"/e/det", true, "/e/det/data", "inside split dataset \"/e/det\""},
        {"/e/d", false, "/e/d/data_0000", "inside split dataset \"/e/d\""},
        {"/e/d", false, "//e/d/x/", "inside split dataset \"/e/d\""},
        {"/e/x/y", false, "/e/x", "around split dataset \"/e/x/y\""},
        {"/e/x/y", true, "/e", "around split dataset \"/e/x/y\""},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " then " + c.second);
        const std::string scan = path("nest" + std::to_string(n++));
        std::filesystem::create_directories(scan);
        const std::string master = scan + "/m.h5";
        open(master);
        const Map options = c.vds ? Map{{"vds", true}} : Map{};
        run({{"type", "create_dataset_append_split"},
             {"filepath", master},
             {"datainfolist", List{List{c.first, 1, options}}}});
        EXPECT_TRUE(Contains(failure({{"type", "create_dataset_append_split"},
                                      {"filepath", master},
                                      {"datainfolist", List{List{c.second, 1}}}}),
                             c.said));
        for (std::int64_t i = 0; i < 2; ++i) {
            run({{"type", "dataset_append_split_map"},
                 {"filepath", master},
                 {"map", Map{{c.first, i}}}});
        }
        close(master);
        H5Reader read(master);
        for (std::int64_t i = 0; i < 2; ++i) {
            EXPECT_EQ(read.external_link(scrivell::link_path(c.first, i)).second,
                      "/entry/data/data");
        }
        if (c.vds) {
            EXPECT_EQ(read.int64s(std::string(c.first) + "/data"),
                      (std::vector<std::int64_t>{0, 1}));
        }
    }
}

// The stack maps every block with one type and frame shape: a block whose frames differ from
// block 0's is refused at its first frame, and the scan goes on with frames that fit.
TEST_F(Hostile, AStackedScanRefusesABlockOfAnotherLayoutAtItsFirstFrame) {
    run({{"type", "create_dataset_append_split"},
         {"filepath", path()},
         {"datainfolist", List{List{"/entry/data", 2, Map{{"vds", true}}}}}});
    const std::vector<std::uint16_t> small(4, 7);
    const std::vector<double> other(4, 0.5);
    append(path(), NdArray::view(small, {2, 2}));
    append(path(), NdArray::view(small, {2, 2}));
    for (const NdArray& refused : {NdArray::view(other, {2, 2}), NdArray::view(small, {4, 1})}) {
        EXPECT_TRUE(Contains(failure({{"type", "dataset_append_split_map"},
                                      {"filepath", path()},
                                      {"map", Map{{"/entry/data", refused}}}}),
                             "block 0's <u2 (2, 2)"));
    }
    append(path(), NdArray::view(small, {2, 2}));
    close(path());
    H5Reader read(path());
    EXPECT_EQ(read.shape("/entry/data/data"), (std::vector<hsize_t>{3, 2, 2}));
    EXPECT_EQ(read.uint16s("/entry/data/data"), std::vector<std::uint16_t>(12, 7));
}

TEST_F(Hostile, MapWritesThroughLinksAreRefusedAndTheTargetsKept) {
    const std::string victim = path("victim.h5");
    const std::int64_t kept = 41;
    make_file(victim, [&](hid_t f) { make_dataset(f, "/d", H5T_NATIVE_INT64, {}, &kept); });
    const std::string master = path("linked.h5");
    make_file(master, [&](hid_t f) {
        H5Lcreate_external("victim.h5", "/d", f, "ext", H5P_DEFAULT, H5P_DEFAULT);
        H5Lcreate_external("victim.h5", "/", f, "extgroup", H5P_DEFAULT, H5P_DEFAULT);
        H5Gclose(H5Gcreate2(f, "g", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
        H5Lcreate_soft("/g", f, "soft", H5P_DEFAULT, H5P_DEFAULT);
    });
    open(master);
    EXPECT_TRUE(Contains(write_failure(master, {{"ext", 5}}), "\"/ext\" is an external link"));
    EXPECT_TRUE(
        Contains(write_failure(master, {{"extgroup", Map{{"d", 5}}}}), "is an external link"));
    EXPECT_TRUE(Contains(failure({{"type", "create_dataset_map_new"},
                                  {"filepath", master},
                                  {"map", Map{{"ext", "text"}}}}),
                         "is an external link"));
    EXPECT_TRUE(Contains(write_failure(master, {{"soft/x", 1}}), "\"/soft\" is a soft link"));
    // Appended values are not written through a link at close either.
    run({{"type", "create_dataset_append"},
         {"filepath", master},
         {"dataset_info_list", List{Map{{"datasetname", "ext"}}}}});
    run({{"type", "dataset_append_map"}, {"filepath", master}, {"map", Map{{"ext", 9}}}});
    EXPECT_TRUE(
        Contains(failure({{"type", "close"}, {"filepath", master}}), "is an external link"));
    EXPECT_EQ(H5Reader(victim).int64("/d"), 41);
}

TEST_F(Hostile, ValuesOverExistingDatasetsAreStoredExactlyOrRefused) {
    const std::string master = path("typed.h5");
    const std::int64_t i64 = 7;
    const std::int8_t i8 = 7;
    const std::uint16_t u16[2] = {1, 2};
    const std::int64_t grid[6] = {1, 2, 3, 4, 5, 6};
    make_file(master, [&](hid_t f) {
        make_dataset(f, "/i64", H5T_STD_I64LE, {}, &i64);
        make_dataset(f, "/i8", H5T_STD_I8LE, {}, &i8);
        make_dataset(f, "/u2", H5T_STD_U16BE, {2}, u16);
        make_dataset(f, "/grid", H5T_STD_I64LE, {2, 3}, grid);
        const hid_t fixed = H5Tcopy(H5T_C_S1);
        H5Tset_size(fixed, 4);
        make_dataset(f, "/fixed", fixed, {}, "abc");
        H5Tclose(fixed);
        make_dataset(f, "/column", H5T_STD_I8LE, {2}, u16);
    });
    open(master);
    const std::vector<std::int64_t> wide{70000, -1};
    const std::vector<std::int64_t> six{1, 2, 3, 4, 5, 6};
    const struct {
        Map map;
        std::string says;
    } refused[] = {
        {{{"i64", 300.7}}, "not held exactly"},
        {{{"i64", std::numeric_limits<double>::quiet_NaN()}}, "not held exactly"},
        {{{"i64", std::numeric_limits<std::uint64_t>::max()}}, "not held exactly"},
        {{{"i8", 1000}}, "not held exactly"},
        {{{"i8", "12"}}, "cannot be written into a numeric"},
        {{{"u2", NdArray::view(wide, {2})}}, "not held exactly"},
        {{{"grid", NdArray::view(six, {3, 2})}}, "it has shape (2, 3)"},
        {{{"fixed", "abcd"}}, "does not fit"},
        {{{"fixed", "\xc3\xa4\xc3\xa4"}}, "does not fit"},
        {{{"new", std::string("a\0b", 3)}}, "NUL character"},
    };
    for (const auto& c : refused) {
        EXPECT_TRUE(Contains(write_failure(master, c.map), c.says)) << zelt::to_text(c.map);
    }
    // Values the types do hold go in.
    run({{"type", "create_dataset_map"},
         {"filepath", master},
         {"map", Map{{"i64", 300.0},
                     {"i8", -128},
                     {"u2", NdArray::view(six.data(), {2})},
                     {"fixed", "xyz"}}}});
    // At close too: appended values must fit the existing dataset.
    run({{"type", "create_dataset_append"},
         {"filepath", master},
         {"dataset_info_list", List{Map{{"datasetname", "column"}}}}});
    for (Value v : {Value(1000), Value(2.75)}) {
        run({{"type", "dataset_append_map"}, {"filepath", master}, {"map", Map{{"column", v}}}});
    }
    EXPECT_TRUE(Contains(failure({{"type", "close"}, {"filepath", master}}), "not held exactly"));
    // Registered again, the column drops the values it cannot write, and the file closes.
    run({{"type", "create_dataset_append"},
         {"filepath", master},
         {"dataset_info_list", List{Map{{"datasetname", "column"}}}}});
    close(master);
    H5Reader file{master};
    EXPECT_EQ(file.int64("/i64"), 300);
    EXPECT_EQ(file.int64("/i8"), -128);
    EXPECT_EQ(file.uint16s("/u2"), (std::vector<std::uint16_t>{1, 2}));
    EXPECT_EQ(file.int64s("/grid"), six);
    char fixed[5] = {};
    const hid_t f = H5Fopen(master.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    const hid_t d = H5Dopen2(f, "/fixed", H5P_DEFAULT);
    const hid_t t = H5Dget_type(d);
    H5Dread(d, t, H5S_ALL, H5S_ALL, H5P_DEFAULT, fixed);
    H5Tclose(t);
    H5Dclose(d);
    H5Fclose(f);
    EXPECT_EQ(std::string(fixed), "xyz");
}

TEST_F(Hostile, AppendsTheCloseCouldNotWriteAreRefusedAtTheirAppend) {
    run({{"type", "create_dataset_append"},
         {"filepath", path()},
         {"dataset_info_list",
          List{Map{{"datasetname", "/entry/x"}}, Map{{"datasetname", "n"}},
               Map{{"datasetname", "t"}}, Map{{"datasetname", "a"}}, Map{{"datasetname", "f"}}}}});
    // Another spelling of a registered name would be the same dataset in the file.
    for (const char* spelling : {"entry/x", "/entry//x/", "./entry/x"}) {
        EXPECT_TRUE(Contains(failure({{"type", "create_dataset_append"},
                                      {"filepath", path()},
                                      {"dataset_info_list", List{Map{{"datasetname", spelling}}}}}),
                             "another spelling of \"/entry/x\""));
    }
    auto append = [&](const char* name, Value v) {
        return Map{{"type", "dataset_append_map"}, {"filepath", path()}, {"map", Map{{name, v}}}};
    };
    run(append("n", std::numeric_limits<std::uint64_t>::max()));
    EXPECT_TRUE(Contains(failure(append("n", -1)), "no integer type holds both"));
    run(append("f", 0.5));
    EXPECT_TRUE(Contains(failure(append("f", (std::int64_t{1} << 60) + 1)), "not held exactly"));
    EXPECT_TRUE(Contains(failure(append("t", std::string("a\0b", 3))), "NUL character"));
    const std::uint8_t byte = 1;
    EXPECT_TRUE(
        Contains(failure(append("a", NdArray::view(&byte, std::vector<std::uint64_t>(32, 1)))),
                 "more than HDF5's 32"));
    close(path());
    H5Reader file{path()};
    EXPECT_EQ(file.type("/n"), "uint64");
    EXPECT_EQ(file.float64s("/f"), std::vector<double>{0.5});
    EXPECT_FALSE(file.exists("/t"));
}

}  // namespace

namespace {

TEST_F(Hostile, AComponentSwappedForALinkDuringOpensNeverLetsOneOut) {
    std::filesystem::create_directories(path("data/flip"));
    std::filesystem::create_directories(path("outside"));
    scrivell::Settings settings;
    settings.data_roots = {std::filesystem::canonical(path("data")).string()};
    scrivell::Scrivell confined(settings);
    // Another user swaps the directory for a link to elsewhere and back, as fast as it can.
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        while (!done) {
            std::error_code ignored;
            std::filesystem::rename(path("data/flip"), path("data/real"), ignored);
            std::filesystem::create_directory_symlink(path("outside"), path("data/flip"), ignored);
            std::filesystem::remove(path("data/flip"), ignored);
            std::filesystem::rename(path("data/real"), path("data/flip"), ignored);
        }
    });
    for (int i = 0; i < 600; ++i) {
        const std::string master = path("data/flip/m" + std::to_string(i) + ".h5");
        try {
            confined.process({{"type", "open"}, {"filepath", master}});
            confined.process({{"type", "close"}, {"filepath", master}});
        } catch (const scrivell::Error&) {
            // Refused while the link was there, or the directory was away: both are fine.
        }
    }
    done = true;
    swapper.join();
    EXPECT_TRUE(std::filesystem::is_empty(path("outside")));
    // The directory itself, once left alone, is served as ever.
    confined.process({{"type", "open"}, {"filepath", path("data/flip/last.h5")}});
    EXPECT_TRUE(confined.is_open(path("data/flip/last.h5")));
}

TEST_F(Hostile, AMasterThatIsAPipeIsRefusedWithoutWaiting) {
    ASSERT_EQ(::mkfifo(path("pipe.h5").c_str(), 0666), 0);
    EXPECT_TRUE(Contains(failure({{"type", "open"}, {"filepath", path("pipe.h5")}}),
                         "is a named pipe, not a regular file"));
    EXPECT_FALSE(scrivell.is_open(path("pipe.h5")));
    // A regular file that is no HDF5 file is refused with HDF5's reason.
    std::ofstream(path("notes.h5")) << "notes";
    EXPECT_TRUE(Contains(failure({{"type", "open"}, {"filepath", path("notes.h5")}}),
                         "file signature not found"));
}

}  // namespace

namespace {

// A random value of the kinds a client may append, some of which no file can hold.
Value random_value(std::mt19937_64& rng, std::vector<std::vector<std::uint8_t>>& keep) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); };
    switch (pick(9)) {
        case 0:
            return Value(static_cast<std::int64_t>(pick(200)) - 100);
        case 1:
            return Value(std::numeric_limits<std::uint64_t>::max() -
                         static_cast<std::uint64_t>(pick(100)));
        case 2: {
            const double choices[] = {0.5,
                                      -2.25,
                                      std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::infinity(),
                                      1e300,
                                      3.0};
            return Value(choices[pick(6)]);
        }
        case 3:
            return Value(pick(2) == 1);
        case 4:
            return Value(pick(4) == 0 ? std::string("a\0b", 3) : std::string("text"));
        case 5:
            return Value(static_cast<std::int64_t>(1) << (50 + pick(13)));
        default: {
            const char* types[] = {"<u2", ">u2", "<f4", "<i8", "|b1", "|u1"};
            const std::string typestr = types[pick(6)];
            std::vector<std::uint64_t> shape;
            const int rank = pick(8) == 0 ? 32 : pick(3);
            std::uint64_t elements = 1;
            for (int d = 0; d < rank; ++d) {
                shape.push_back(rank > 3 ? 1 : static_cast<std::uint64_t>(pick(3)));
                elements *= shape.back();
            }
            const std::size_t item =
                typestr[2] == '1' ? 1 : static_cast<std::size_t>(typestr[2] - '0');
            keep.emplace_back(elements * item, std::uint8_t{0});
            if (typestr == "|b1") {
                for (auto& b : keep.back()) b = static_cast<std::uint8_t>(pick(2));
            } else {
                for (auto& b : keep.back()) b = static_cast<std::uint8_t>(pick(256));
            }
            return Value(NdArray(typestr, shape, keep.back().data(), keep.back().size(), nullptr));
        }
    }
}

}  // namespace

TEST_F(Hostile, EverySequenceOfAcceptedAppendsCloses) {
    for (std::uint64_t seed = 1; seed <= 60; ++seed) {
        std::mt19937_64 rng(seed);
        std::vector<std::vector<std::uint8_t>> keep;
        const std::string file = path("p" + std::to_string(seed) + ".h5");
        open(file);
        const char* names[] = {"a", "b", "c"};
        run({{"type", "create_dataset_append"},
             {"filepath", file},
             {"dataset_info_list", List{Map{{"datasetname", "a"}}, Map{{"datasetname", "b"}},
                                        Map{{"datasetname", "c"}, {"batch", true}}}}});
        std::map<std::string, int> accepted;
        for (int i = 0; i < 30; ++i) {
            const std::string name = names[rng() % 3];
            try {
                run({{"type", "dataset_append_map"},
                     {"filepath", file},
                     {"map", Map{{name, random_value(rng, keep)}}}});
                ++accepted[name];
            } catch (const scrivell::Error&) {
                // Refused at its append: the close never sees it.
            }
        }
        ASSERT_NO_THROW(close(file)) << "seed " << seed;
        H5Reader written{file};
        for (const char* name : {"a", "b"}) {
            if (!accepted[name]) continue;
            const auto shape = written.shape(name);
            ASSERT_FALSE(shape.empty()) << "seed " << seed << " " << name;
            EXPECT_EQ(shape[0], static_cast<hsize_t>(accepted[name])) << "seed " << seed;
        }
        EXPECT_EQ(written.exists("c"), accepted["c"] > 0) << "seed " << seed;
    }
}
