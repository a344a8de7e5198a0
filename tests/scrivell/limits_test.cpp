#include <filesystem>

#include "backend.hpp"

using support::H5Reader;

class Checks : public Backend {
  protected:
    void declare(List descriptions) {
        run({{"type", "create_dataset_append"},
             {"filepath", path()},
             {"dataset_info_list", std::move(descriptions)}});
    }
    Map append(Map values) {
        return {{"type", "dataset_append_map"}, {"filepath", path()}, {"map", std::move(values)}};
    }
};

TEST_F(Checks, ValuesThatCannotBeStackedAreRefusedAtTheirAppendAndTheCloseSucceeds) {
    declare({Map{{"datasetname", "f"}}, Map{{"datasetname", "s"}}, Map{{"datasetname", "a"}},
             Map{{"datasetname", "n"}}});
    const float one = 1.0f;
    const std::uint16_t frame[4] = {1, 2, 3, 4};
    const std::uint16_t wide[6] = {};
    run(append({{"f", 0.5}, {"s", "a"}, {"a", NdArray::view(frame, {2, 2})}, {"n", 1}}));
    const struct {
        Map values;
        std::string says;
    } refused[] = {
        // What a NumPy float32 becomes: a 0-d array, not a number.
        {{{"f", NdArray::view(&one, {})}},
         "dataset \"f\": an array <f4 [] does not stack with the 1 numbers it holds"},
        {{{"s", NdArray::view(frame, {2, 2})}}, "does not stack with the 1 texts it holds"},
        {{{"a", NdArray::view(wide, {2, 3})}},
         "an array <u2 [2, 3] does not stack with the 1 arrays <u2 [2, 2] it holds"},
        {{{"n", true}}, "a boolean does not stack with the 1 numbers"},
        {{{"n", Value()}}, "a null cannot be stored in a dataset"},
        {{{"n", List{1}}}, "a list cannot be stored in a dataset"},
    };
    for (const auto& c : refused) EXPECT_TRUE(Contains(failure(append(c.values)), c.says));
    // Integers and floats still widen, in either order.
    run(append({{"f", 2}, {"n", 2.5}}));
    close(path());
    H5Reader file{path()};
    EXPECT_EQ(file.float64s("f"), (std::vector<double>{0.5, 2.0}));
    EXPECT_EQ(file.float64s("n"), (std::vector<double>{1.0, 2.5}));
    EXPECT_EQ(file.texts("s"), std::vector<std::string>{"a"});
    EXPECT_EQ(file.shape("a"), (std::vector<hsize_t>{1, 2, 2}));
}

TEST_F(Checks, PathsWithNulAndMastersNamedLikeSubFilesAreRefused) {
    EXPECT_TRUE(Contains(failure({{"type", "open"}, {"filepath", path() + std::string("\0x", 2)}}),
                         "holds a NUL character"));
    EXPECT_EQ(scrivell.open_paths().size(), 1u);
    open(path("0007.h5"));
    EXPECT_TRUE(Contains(failure({{"type", "create_dataset_append_split"},
                                  {"filepath", path("0007.h5")},
                                  {"datainfolist", List{List{"/entry/data", 2}}}}),
                         "the master file is named like a sub-file"));
    close(path("0007.h5"));
}

TEST_F(Checks, OpenFilesAndHeldMemoryHaveLimitsNamedInTheirErrors) {
    scrivell::Settings settings;
    settings.limits.max_open_files = 2;
    settings.limits.memory_limit_bytes = 1000;
    scrivell::Scrivell bounded(settings);
    bounded.process({{"type", "open"}, {"filepath", path("a.h5")}});
    bounded.process({{"type", "open"}, {"filepath", path("b.h5")}});
    try {
        bounded.process({{"type", "open"}, {"filepath", path("c.h5")}});
        ADD_FAILURE() << "a third file opened";
    } catch (const scrivell::Error& error) {
        EXPECT_TRUE(Contains(error.what(), "2 files are open, as many as max_open_files allows"));
    }
    EXPECT_FALSE(std::filesystem::exists(path("c.h5")));
    bounded.process({{"type", "create_dataset_append"},
                     {"filepath", path("a.h5")},
                     {"dataset_info_list", List{Map{{"datasetname", "x"}}}}});
    const Map append{
        {"type", "dataset_append_map"}, {"filepath", path("a.h5")}, {"map", Map{{"x", 1}}}};
    for (int i = 0; i < 125; ++i) bounded.process(append);  // 8 bytes a value
    EXPECT_EQ(bounded.held_bytes(), 1000u);
    try {
        bounded.process(append);
        ADD_FAILURE() << "held more than the limit";
    } catch (const scrivell::Error& error) {
        EXPECT_TRUE(Contains(error.what(), "memory_limit_mib")) << error.what();
    }
    // A close writes the values out and frees the budget.
    bounded.process({{"type", "close"}, {"filepath", path("a.h5")}});
    EXPECT_EQ(bounded.held_bytes(), 0u);
    EXPECT_EQ(H5Reader(path("a.h5")).int64s("x").size(), 125u);
    bounded.process({{"type", "open"}, {"filepath", path("c.h5")}});
}

TEST_F(Checks, FilesOutsideTheDataRootsAreRefusedAfterResolvingThePath) {
    std::filesystem::create_directories(path("data/scan"));
    std::filesystem::create_directories(path("data/new"));
    std::filesystem::create_directories(path("outside"));
    std::filesystem::create_directory_symlink(path("outside"), path("data/link"));
    scrivell::Settings settings;
    settings.data_roots = {std::filesystem::canonical(path("data")).string()};
    scrivell::Scrivell confined(settings);
    confined.process({{"type", "open"}, {"filepath", path("data/scan/m.h5")}});
    confined.process({{"type", "open"}, {"filepath", path("data/new/../scan/n.h5")}});
    const std::string roots = "the data roots (\"" + settings.data_roots[0] + "\")";
    for (const auto& [outside, says] : std::vector<std::pair<std::string, std::string>>{
             {path("data/../outside/m.h5"), "outside " + roots},
             {path("m2.h5"), "outside " + roots},
             {path("data/none/../../outside/m.h5"), "outside " + roots},
             {path("database/m.h5"), "outside " + roots},
             // A link below a root is never followed, wherever it leads.
             {path("data/link/m.h5"), "a symbolic link; below " + roots},
             {path("data/scan/../link/m.h5"), "a symbolic link; below " + roots}}) {
        try {
            confined.process({{"type", "open"}, {"filepath", outside}});
            ADD_FAILURE() << outside << " was opened";
        } catch (const scrivell::Error& error) {
            EXPECT_TRUE(Contains(error.what(), says));
        }
        EXPECT_FALSE(std::filesystem::exists(outside)) << outside;
    }
}

TEST_F(Checks, NotificationsOwedDuringAnOutageCountInTheMemoryLimit) {
    support::MockKafka kafka;
    kafka.set_down(true);
    scrivell::Settings settings;
    settings.vesk = vesk_to(kafka.bootstrap(), 500);
    settings.limits.memory_limit_bytes = 64 * 1024 + 4000;
    scrivell::Scrivell bounded(settings);
    bounded.process({{"type", "open"}, {"filepath", path("a.h5")}});
    bounded.process({{"type", "create_dataset_append_split"},
                     {"filepath", path("a.h5")},
                     {"datainfolist", List{List{"/entry/data", 1}}}});
    const Map append{{"type", "dataset_append_split_map"},
                     {"filepath", path("a.h5")},
                     {"map", Map{{"/entry/data", 1}}}};
    std::string refused;
    int blocks = 0;
    for (; blocks < 100 && refused.empty(); ++blocks) {
        try {
            bounded.process(append);
        } catch (const scrivell::Error& error) {
            refused = error.what();
        }
    }
    EXPECT_TRUE(Contains(refused, "MiB of notifications no broker has taken yet")) << refused;
    EXPECT_GT(blocks, 1);
    EXPECT_LT(blocks, 100);
}

namespace {

std::size_t descriptors_open() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                      std::filesystem::directory_iterator()));
}

}  // namespace

TEST(Descriptors, EachBlockIsCountedAsItHoldsThemAndOpensStopBeforeTheBudgetIsGone) {
    for (const char* codec : {"none", "bslz4"}) {
        SCOPED_TRACE(codec);
        support::TempDir dir;
        scrivell::Settings settings;
        settings.limits.max_descriptors = 13;
        settings.journal_dir = dir / "journal";
        scrivell::Scrivell scrivell(settings);
        scrivell.restore();
        const std::size_t before = descriptors_open();
        std::size_t opened = 0;
        for (int i = 0; i < 5; ++i) {
            const std::string scan = dir / ("scan" + std::to_string(i));
            std::filesystem::create_directory(scan);
            const std::string master = scan + "/m.h5";
            try {
                scrivell.process({{"type", "open"}, {"filepath", master}});
            } catch (const scrivell::Error& error) {
                EXPECT_TRUE(Contains(error.what(), "file descriptors")) << error.what();
                break;
            }
            ++opened;
            scrivell.process(
                {{"type", "create_dataset_append_split"},
                 {"filepath", master},
                 {"datainfolist", List{List{"/entry/data", 4, Map{{"compression", codec}}}}}});
            const std::uint16_t frame[4] = {1, 2, 3, 4};
            scrivell.process({{"type", "dataset_append_split_map"},
                              {"filepath", master},
                              {"map", Map{{"/entry/data", NdArray::view(frame, {2, 2})}}}});
            // The account is what the process really holds.
            EXPECT_EQ(scrivell.descriptors_held(), descriptors_open() - before);
        }
        // Four a file with a raw block, five with a compressed one, and room for five kept.
        EXPECT_EQ(opened, std::string(codec) == "none" ? 3u : 2u);
        EXPECT_LE(scrivell.descriptors_held(), 13u);
        scrivell.process({{"type", "closeAll"}});
        EXPECT_EQ(scrivell.descriptors_held(), 0u);
    }
}
