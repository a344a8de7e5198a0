#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <zelt/storageParser.hpp>

#include "support.hpp"

namespace {

std::string write(const support::TempDir& dir, const std::string& text) {
    const std::string path = dir / "zelt.ini";
    std::ofstream(path) << text;
    return path;
}

}  // namespace

TEST(StorageParser, ReadsEntriesOfTheNamedFile) {
    support::TempDir dir;
    const std::string path = write(dir,
                                   "# site settings\n[corvane]\nip = 10.0.0.5\nPort: 6000\n"
                                   "[vesk]\nbootstrap_servers =\n");
    zelt::storageParser config(path);
    EXPECT_EQ(config.get("corvane", "ip"), "10.0.0.5");
    EXPECT_EQ(config.get("corvane", "port"), "6000");
    EXPECT_EQ(config.get_or("vesk", "bootstrap_servers", "x"), "");
    EXPECT_EQ(config.number_or("vesk", "timeout_ms", 5000), 5000);
}

TEST(StorageParser, MissingSectionOrEntryNamesWhatIsMissing) {
    support::TempDir dir;
    zelt::storageParser no_section(write(dir, "[other]\nip = 1\n"));
    EXPECT_THROW(
        {
            try {
                no_section.get("corvane", "ip");
            } catch (const zelt::Error& error) {
                EXPECT_NE(std::string(error.what()).find("no section [corvane]"),
                          std::string::npos);
                throw;
            }
        },
        zelt::Error);
    zelt::storageParser no_port(write(dir, "[corvane]\nip = 127.0.0.1\n"));
    EXPECT_THROW(
        {
            try {
                no_port.get("corvane", "port");
            } catch (const zelt::Error& error) {
                EXPECT_NE(std::string(error.what()).find("no entry \"port\""), std::string::npos);
                throw;
            }
        },
        zelt::Error);
    EXPECT_THROW(zelt::storageParser(write(dir, "ip = 1\n")), zelt::Error);
    EXPECT_THROW(zelt::storageParser(write(dir, "[vesk]\ntimeout_ms = soon\n"))
                     .number_or("vesk", "timeout_ms", 1),
                 zelt::Error);
}

TEST(StorageParser, EnvironmentNamesTheFileElseDefaults) {
    support::TempDir dir;
    const std::string path = write(dir, "[corvane]\nip = 127.0.0.2\nport = 7000\n");
    ::setenv("ZELT_CONFIG", path.c_str(), 1);
    EXPECT_EQ(zelt::storageParser().get("corvane", "port"), "7000");
    ::setenv("ZELT_CONFIG", (dir / "missing.ini").c_str(), 1);
    EXPECT_THROW(zelt::storageParser(), zelt::Error);
    ::unsetenv("ZELT_CONFIG");
    // Without ZELT_CONFIG: the system's file where there is one, else the built-in defaults.
    const bool system_file = std::filesystem::exists("/etc/zelt/zelt.ini");
    EXPECT_EQ(zelt::storageParser().source(),
              system_file ? "/etc/zelt/zelt.ini" : "built-in defaults");
    const zelt::storageParser defaults = zelt::storageParser::built_in();
    EXPECT_EQ(defaults.get("corvane", "ip"), "127.0.0.1");
    EXPECT_EQ(defaults.get("corvane", "port"), "5555");
    EXPECT_EQ(defaults.number_or("vesk", "timeout_ms", 0), 5000);
}

TEST(StorageParser, InlineCommentsEndAValueAndUnknownEntriesAreNamed) {
    support::TempDir dir;
    const zelt::storageParser config(write(dir,
                                           "[corvane]\n"
                                           "port = 7000            # where clients connect\n"
                                           "ip = 127.0.0.1 ; semicolons too\n"
                                           "name = a#b\n"
                                           "empty =   # nothing\n"
                                           "[vesk]\n"
                                           "bootstrap_server = typo:9092\n"));
    EXPECT_EQ(config.get("corvane", "port"), "7000");
    EXPECT_EQ(config.get("corvane", "ip"), "127.0.0.1");
    EXPECT_EQ(config.entry("corvane", "name"), "a#b");
    EXPECT_EQ(config.entry("corvane", "empty"), "");
    EXPECT_EQ(
        config.unknown_entries(
            {{"corvane", "port"}, {"corvane", "ip"}, {"vesk", "bootstrap_servers"}}),
        (std::vector<std::string>{"[corvane] name", "[corvane] empty", "[vesk] bootstrap_server"}));
}

TEST(Config, EveryEntryReadIsInTheOneListOfKnownEntries) {
    const zelt::storageParser config = zelt::storageParser::built_in();
    EXPECT_THROW((void)config.get_or("corvane", "not_a_listed_entry", ""), zelt::Error);
    EXPECT_THROW((void)config.get("corvane", "not_a_listed_entry"), zelt::Error);
    EXPECT_THROW((void)config.number_or("vesk", "timeout", 1), zelt::Error);
    // The list names each entry once.
    auto known = zelt::known_entries();
    std::sort(known.begin(), known.end());
    EXPECT_EQ(std::adjacent_find(known.begin(), known.end()), known.end());
}
