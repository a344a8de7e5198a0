#include "backend.hpp"

using support::H5Reader;

class Appendable : public Backend {
  protected:
    void declare(List descriptions) {
        run({{"type", "create_dataset_append"}, {"filepath", path()},
             {"dataset_info_list", std::move(descriptions)}});
    }
    void append(Map values) {
        run({{"type", "dataset_append_map"}, {"filepath", path()}, {"map", std::move(values)}});
    }
};

TEST_F(Appendable, ValuesBecomeOneArrayAtClose) {
    declare({Map{{"datasetname", "/entry/instrument/x"}}, Map{{"datasetname", "idle"}},
             Map{{"datasetname", "t"}}, Map{{"datasetname", "ok"}}, Map{{"datasetname", "s"}}});
    append({{"/entry/instrument/x", 1}, {"t", 0.5}, {"ok", true}, {"s", "a"}});
    append({{"/entry/instrument/x", 2}, {"t", 1}, {"ok", false}, {"s", "b"}});
    append({{"/entry/instrument/x", 3}, {"t", 1.5}, {"ok", true}, {"s", "c"}});
    close(path());
    H5Reader file{path()};
    EXPECT_EQ(file.type("/entry/instrument/x"), "int64");
    EXPECT_EQ(file.int64s("/entry/instrument/x"), (std::vector<std::int64_t>{1, 2, 3}));
    EXPECT_EQ(file.float64s("t"), (std::vector<double>{0.5, 1.0, 1.5}));  // ints widened
    EXPECT_EQ(file.type("ok"), "bool");
    EXPECT_EQ(file.int64s("ok"), (std::vector<std::int64_t>{1, 0, 1}));
    EXPECT_EQ(file.texts("s"), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_FALSE(file.exists("idle"));
}

TEST_F(Appendable, BatchMergesTheFirstTwoAxes) {
    declare({Map{{"datasetname", "batched"}, {"batch", true}}, Map{{"datasetname", "stacked"}}});
    std::vector<std::uint16_t> frames(2 * 4 * 4);
    for (std::size_t i = 0; i < frames.size(); ++i) frames[i] = static_cast<std::uint16_t>(i);
    for (int i = 0; i < 5; ++i) {
        append({{"batched", NdArray::view(frames, {2, 4, 4})},
                {"stacked", NdArray::view(frames, {2, 4, 4})}});
    }
    close(path());
    H5Reader file{path()};
    EXPECT_EQ(file.shape("batched"), (std::vector<hsize_t>{10, 4, 4}));
    EXPECT_EQ(file.shape("stacked"), (std::vector<hsize_t>{5, 2, 4, 4}));
    const auto values = file.uint16s("batched");
    EXPECT_EQ(values[32], 0);
    EXPECT_EQ(values[33], 1);
    EXPECT_EQ(values[159], 31);
}

TEST_F(Appendable, RegisteringAgainDropsTheValues) {
    declare({Map{{"datasetname", "x"}}});
    append({{"x", 1}});
    declare({Map{{"datasetname", "x"}}});
    append({{"x", 5}});
    close(path());
    EXPECT_EQ(H5Reader(path()).int64s("x"), std::vector<std::int64_t>{5});
}

TEST_F(Appendable, UnregisteredNameFailsThereAndLaterNamesGetNothing) {
    declare({Map{{"datasetname", "a"}}, Map{{"datasetname", "b"}}});
    const std::string error =
        failure({{"type", "dataset_append_map"}, {"filepath", path()},
                 {"map", Map{{"a", 1}, {"nope", 2}, {"b", 3}}}});
    EXPECT_TRUE(Contains(error, "dataset \"nope\" is not registered"));
    close(path());
    H5Reader file{path()};
    EXPECT_EQ(file.int64s("a"), std::vector<std::int64_t>{1});
    EXPECT_FALSE(file.exists("b"));
}

TEST_F(Appendable, EmptyRequestsChangeNothingEvenForAFileNotOpen) {
    run({{"type", "create_dataset_append"}, {"filepath", "not-open.h5"}, {"dataset_info_list", List{}}});
    run({{"type", "dataset_append_map"}, {"filepath", "not-open.h5"}, {"map", Map{}}});
    EXPECT_FALSE(scrivell.is_open("not-open.h5"));
    EXPECT_TRUE(Contains(failure({{"type", "create_dataset_append"}, {"filepath", "not-open.h5"},
                                  {"dataset_info_list", List{Map{{"datasetname", "x"}}}}}),
                         "not open"));
}

TEST_F(Appendable, ReservedAndDoubleNamesAreRefusedAndTheFileStays) {
    EXPECT_TRUE(Contains(failure({{"type", "create_dataset_append"}, {"filepath", path()},
                                  {"dataset_info_list", List{Map{{"datasetname", "fp"}}}}}),
                         "reserved"));
    EXPECT_TRUE(Contains(failure({{"type", "create_dataset_append"}, {"filepath", path()},
                                  {"dataset_info_list", List{Map{{"batch", true}}}}}),
                         "description 0 has no text \"datasetname\""));
    run({{"type", "create_dataset_append_split"}, {"filepath", path()},
         {"datainfolist", List{List{"/entry/data", 2}}}});
    EXPECT_TRUE(Contains(failure({{"type", "create_dataset_append"}, {"filepath", path()},
                                  {"dataset_info_list", List{Map{{"datasetname", "/entry/data"}}}}}),
                         "already a split dataset"));
    EXPECT_TRUE(Contains(failure({{"type", "create_dataset_append_split"}, {"filepath", path()},
                                  {"datainfolist", List{List{"fp", 2}}}}),
                         "reserved"));
    declare({Map{{"datasetname", "x"}}});
    EXPECT_TRUE(Contains(failure({{"type", "create_dataset_append_split"}, {"filepath", path()},
                                  {"datainfolist", List{List{"x", 2}}}}),
                         "already an appendable dataset"));
    append({{"x", 4}});
    close(path());
    EXPECT_EQ(H5Reader(path()).int64s("x"), std::vector<std::int64_t>{4});
}

TEST_F(Appendable, ExistingDatasetIsReplacedInPlaceAndAShapeMismatchKeepsTheFileOpen) {
    const std::int64_t zeros[] = {0, 0, 0};
    run({{"type", "create_dataset_map"}, {"filepath", path()},
         {"map", Map{{"x", NdArray::view(zeros, {3})}, {"y", 0}}}});
    declare({Map{{"datasetname", "x"}}, Map{{"datasetname", "y"}}});
    append({{"x", 1}});
    append({{"x", 2}});
    append({{"x", 3}});
    append({{"y", 1}});
    append({{"y", 2}});
    EXPECT_TRUE(Contains(failure({{"type", "close"}, {"filepath", path()}}), "shape"));
    EXPECT_TRUE(scrivell.is_open(path()));  // nothing dropped: the values are still there
    declare({Map{{"datasetname", "y"}}});
    close(path());
    H5Reader file{path()};
    EXPECT_EQ(file.int64s("x"), (std::vector<std::int64_t>{1, 2, 3}));
    EXPECT_EQ(file.int64("y"), 0);
}

