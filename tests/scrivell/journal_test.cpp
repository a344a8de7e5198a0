#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

#include "backend.hpp"

namespace {

std::string bytes_of(const std::string& path) { return support::read_text(path); }

}  // namespace

TEST(Journal, RecordsReadBackUpToATornTailAndUnknownVersionsAreRefused) {
    support::TempDir dir;
    scrivell::JournalFile journal =
        scrivell::JournalFile::create(dir.path(), "file", {{"kind", "file"}}, /*sync=*/false);
    const std::uint16_t frame[4] = {1, 2, 3, 4};
    journal.add(Map{{"op", "append"}, {"values", Map{{"x", 1.5}}}});
    journal.add("append", "values", Value(Map{{"y", NdArray::view(frame, {2, 2})}}));
    journal.write();
    const std::string whole = bytes_of(journal.path());

    scrivell::JournalRecords read = scrivell::read_journal(journal.path());
    ASSERT_EQ(read.records.size(), 3u);
    EXPECT_FALSE(read.torn);
    EXPECT_EQ(read.valid_bytes, whole.size());
    EXPECT_EQ(*read.records[0].as<Map>(),
              (Map{{"format", "brennic-journal"}, {"version", 1}, {"kind", "file"}}));
    EXPECT_EQ(*read.records[2].as<Map>(),
              (Map{{"op", "append"}, {"values", Map{{"y", NdArray::view(frame, {2, 2})}}}}));

    // A write cut short: the last record is ignored, nothing before it is.
    std::ofstream(journal.path(), std::ios::binary) << whole.substr(0, whole.size() - 3);
    read = scrivell::read_journal(journal.path());
    EXPECT_EQ(read.records.size(), 2u);
    EXPECT_TRUE(read.torn);
    // A flipped bit in a payload fails its checksum: reading stops before it.
    std::string flipped = whole;
    flipped[whole.size() - 2] ^= 0x01;
    std::ofstream(journal.path(), std::ios::binary) << flipped;
    EXPECT_EQ(scrivell::read_journal(journal.path()).records.size(), 2u);
    // Taking it up cuts the torn tail, so that new records follow the last whole one.
    scrivell::JournalFile resumed =
        scrivell::JournalFile::resume(journal.path(), read.valid_bytes, /*sync=*/false);
    resumed.add(Map{{"op", "append"}, {"values", Map{{"x", 2.5}}}});
    resumed.write();
    read = scrivell::read_journal(journal.path());
    ASSERT_EQ(read.records.size(), 3u);
    EXPECT_FALSE(read.torn);

    const std::string other = dir / "file-other";
    std::ofstream(other, std::ios::binary) << "not a journal";
    EXPECT_THROW(scrivell::read_journal(other), scrivell::Error);
}

TEST(Journal, ADirectoryIsHeldByOneServiceAtATime) {
    support::TempDir dir;
    scrivell::JournalDirectory first(dir / "journal", /*sync=*/false);
    try {
        scrivell::JournalDirectory second(dir / "journal", /*sync=*/false);
        ADD_FAILURE() << "a second holder was let in";
    } catch (const scrivell::Error& error) {
        EXPECT_TRUE(Contains(error.what(),
                             "is in use by another brennic (pid " + std::to_string(::getpid())));
    }
}

TEST(Journal, AShortWriteLeavesNoTornRecordAndIsWrittenWhole) {
    support::TempDir dir;
    scrivell::JournalFile journal =
        scrivell::JournalFile::create(dir.path(), "file", {{"kind", "file"}}, /*sync=*/false);
    journal.add(Map{{"op", "append"}, {"values", Map{{"x", 1}}}});
    journal.write();
    const auto before = std::filesystem::file_size(journal.path());
    // The file may grow by 10 bytes only: the next record is written in part, as on a full
    // disk.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit old_limit{};
    getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit limit = old_limit;
    limit.rlim_cur = before + 10;
    setrlimit(RLIMIT_FSIZE, &limit);
    journal.add(Map{{"op", "append"}, {"values", Map{{"x", std::string(100, 'a')}}}});
    EXPECT_THROW(journal.write(), scrivell::Error);
    const auto after_failure = std::filesystem::file_size(journal.path());
    setrlimit(RLIMIT_FSIZE, &old_limit);
    sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_EQ(after_failure, before);
    // Once there is room, the pending record goes out whole, and so does the next.
    journal.add(Map{{"op", "append"}, {"values", Map{{"x", 3}}}});
    journal.write();
    const scrivell::JournalRecords read = scrivell::read_journal(journal.path());
    ASSERT_EQ(read.records.size(), 4u);
    EXPECT_FALSE(read.torn);
    EXPECT_EQ(*read.records[2].as<Map>(),
              (Map{{"op", "append"}, {"values", Map{{"x", std::string(100, 'a')}}}}));
    EXPECT_EQ(*read.records[3].as<Map>(), (Map{{"op", "append"}, {"values", Map{{"x", 3}}}}));
}
