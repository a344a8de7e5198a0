#include "backend.hpp"

using support::H5Reader;

class MapDatasets : public Backend {
  protected:
    void write(Map map, const char* type = "create_dataset_map") {
        run({{"type", type}, {"filepath", path()}, {"map", std::move(map)}});
    }
    std::string write_failure(Map map, const char* type = "create_dataset_map") {
        return failure({{"type", type}, {"filepath", path()}, {"map", std::move(map)}});
    }
    void make_int_dataset(const std::string& name, std::int64_t value) { write({{name, value}}); }
};

TEST_F(MapDatasets, LeavesBecomeDatasetsOfTheirStorageType) {
    write({{"run", Map{{"energy", 12.5}, {"sample", "Fe"}}},
           {"angles", List{0, 90}},
           {"comment", Map{}},
           {"empty", List{}},
           {"x", Value()},
           {"flag", true},
           {"count", 3},
           {"/entry/title", "Ångström"}});
    close(path());
    H5Reader file{path()};
    EXPECT_EQ(file.type("run/energy"), "float64");
    EXPECT_EQ(file.float64("run/energy"), 12.5);
    EXPECT_EQ(file.type("run/sample"), "vlen-utf8");
    EXPECT_EQ(file.text("run/sample"), "Fe");
    EXPECT_EQ(file.shape("run/sample"), std::vector<hsize_t>{});
    EXPECT_EQ(file.int64("angles/0"), 0);
    EXPECT_EQ(file.int64("angles/1"), 90);
    EXPECT_EQ(file.type("angles/1"), "int64");
    EXPECT_EQ(file.text("comment"), "");
    EXPECT_EQ(file.type("empty"), "float64");
    EXPECT_EQ(file.shape("empty"), std::vector<hsize_t>{0});
    EXPECT_EQ(file.text("x"), "None");
    EXPECT_EQ(file.type("flag"), "bool");
    EXPECT_EQ(file.int64("flag"), 1);
    EXPECT_EQ(file.int64("count"), 3);
    EXPECT_EQ(file.text("entry/title"), "Ångström");
}

TEST_F(MapDatasets, ArrayInsideMapKeepsItsShapeAndType) {
    const std::uint16_t frame[] = {1, 2, 3, 4, 5, 6};
    write({{"detector/mask", NdArray::view(frame, {2, 3})}});
    close(path());
    H5Reader file{path()};
    EXPECT_EQ(file.type("detector/mask"), "uint16");
    EXPECT_EQ(file.shape("detector/mask"), (std::vector<hsize_t>{2, 3}));
    EXPECT_EQ(file.uint16s("detector/mask"), (std::vector<std::uint16_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(MapDatasets, SameTextTwiceLeavesTheSecond) {
    for (const char* type : {"create_dataset_map", "create_dataset_map_new"}) {
        write({{"sample", "Fe"}}, type);
        write({{"sample", "Cu"}}, type);
    }
    close(path());
    EXPECT_EQ(H5Reader(path()).text("sample"), "Cu");
}

TEST_F(MapDatasets, TextOverIntegerFailsThereAndKeepsEarlierEntries) {
    make_int_dataset("/b", 7);
    const std::string error = write_failure({{"a", 1}, {"b", "Fe"}, {"c", 2}});
    EXPECT_TRUE(Contains(error, "\"b\""));
    EXPECT_TRUE(Contains(error, "Fe"));
    write({{"d", "12"}});
    // Numbers are never parsed out of texts: "12.9" would have become 12, "0x10" 16.
    for (const char* number : {"12", "12.9", "0x10", "nan"}) {
        EXPECT_TRUE(Contains(write_failure({{"b", number}}), "cannot be written into a numeric"));
    }
    close(path());
    H5Reader file{path()};
    EXPECT_EQ(file.int64("/a"), 1);
    EXPECT_EQ(file.int64("/b"), 7);
    EXPECT_EQ(file.type("/b"), "int64");
    EXPECT_FALSE(file.exists("/c"));
}

TEST_F(MapDatasets, MapNewRecreatesANonStringDatasetAsText) {
    make_int_dataset("/b", 7);
    write({{"b", "Fe"}, {"c", "new"}}, "create_dataset_map_new");
    close(path());
    H5Reader file{path()};
    EXPECT_EQ(file.type("/b"), "vlen-utf8");
    EXPECT_EQ(file.text("/b"), "Fe");
    EXPECT_EQ(file.type("/c"), "vlen-utf8");
}

TEST_F(MapDatasets, NullOverAnExistingPathFailsWithBothOperations) {
    write({{"x", 1}});
    for (const char* type : {"create_dataset_map", "create_dataset_map_new"}) {
        EXPECT_TRUE(Contains(write_failure({{"x", Value()}}, type), "create dataset \"x\""));
    }
}

TEST_F(MapDatasets, SingleValueFillsEveryElementInPlace) {
    const std::int64_t three[] = {1, 2, 3};
    write({{"v", NdArray::view(three, {3})}});
    write({{"v", 9}});
    write({{"f", 1.5}});
    write({{"f", 2}});  // an integer into a float dataset keeps the float type
    close(path());
    H5Reader file{path()};
    EXPECT_EQ(file.int64s("v"), (std::vector<std::int64_t>{9, 9, 9}));
    EXPECT_EQ(file.type("f"), "float64");
    EXPECT_EQ(file.float64("f"), 2.0);
}

TEST_F(MapDatasets, LaterRouteToOnePathKeepsOneEntryWithTheLaterValue) {
    write({{"a/b", 1}, {"a", Map{{"b", 2}}}});
    close(path());
    H5Reader file{path()};
    EXPECT_EQ(file.int64("a/b"), 2);
    EXPECT_EQ(file.members("a"), std::vector<std::string>{"b"});
}

TEST_F(MapDatasets, BadRequestsFailNamingTheRequestAndTheFile) {
    write({});  // an empty map writes nothing and succeeds
    EXPECT_TRUE(Contains(failure({{"type", "create_dataset_map"}, {"filepath", path()}}),
                         "the request has no \"map\""));
    EXPECT_TRUE(
        Contains(failure({{"type", "create_dataset_map"}, {"filepath", path()}, {"map", List{1}}}),
                 "\"map\" is not a map"));
    EXPECT_TRUE(Contains(failure({{"type", "create_dataset_map"},
                                  {"filepath", path("other.h5")},
                                  {"map", Map{{"a", 1}}}}),
                         "file \"" + path("other.h5") + "\" is not open"));
    write({{"n", 1}});
    EXPECT_TRUE(Contains(write_failure({{"n/x", 2}}), "\"n/x\" in \"" + path() + "\""));
    write({{"g/x", 1}});
    EXPECT_TRUE(Contains(write_failure({{"g", 2}}), "\"g\""));  // a group is no dataset
}

TEST_F(MapDatasets, MapsWhosePathsWouldOutgrowTheRequestAreRefusedBeforeTheyAreBuilt) {
    // A chain of long keys above many leaves: about 100 KB on the wire, and every leaf's path
    // would hold the whole chain, some 500 MiB in all.
    Map leaves;
    for (int i = 0; i < 2000; ++i) leaves.emplace_back("l" + std::to_string(i), i);
    Value chain(std::move(leaves));
    for (int level = 0; level < 20; ++level) {
        chain = Map{{std::string(4000, static_cast<char>('a' + level)), std::move(chain)}};
    }
    const std::string refused = write_failure(*chain.as<Map>());
    EXPECT_TRUE(Contains(refused, "more than 16 times the request's size")) << refused;
    // And memory_limit_mib covers what a map makes, as it covers appended values.
    scrivell::Settings settings;
    settings.limits.memory_limit_bytes = 1 << 20;
    scrivell::Scrivell small(settings);
    const std::string other = path("small.h5");
    small.process({{"type", "open"}, {"filepath", other}});
    Map wide;
    for (int i = 0; i < 2000; ++i) wide.emplace_back(std::to_string(i), std::string(600, 'x'));
    try {
        small.process({{"type", "create_dataset_map"}, {"filepath", other}, {"map", wide}});
        ADD_FAILURE() << "a map of 2.4 MiB in memory was taken under a limit of 1 MiB";
    } catch (const scrivell::Error& error) {
        EXPECT_TRUE(Contains(error.what(), "memory_limit_mib is 1")) << error.what();
    }
    small.process({{"type", "close"}, {"filepath", other}});
    close(path());
    EXPECT_TRUE(H5Reader(path()).members("/").empty());
    EXPECT_TRUE(H5Reader(other).members("/").empty());
}
