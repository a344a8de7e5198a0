#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "backend.hpp"
#include "records.hpp"

using support::H5Reader;

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

TEST(Journal, EveryRecordKindComesBackFromTheJournalAsItWasWritten) {
    namespace r = scrivell::records;
    const std::uint16_t frame[4] = {1, 2, 3, 4};
    const Value values(Map{{"x", 1.5}, {"frame", NdArray::view(frame, {2, 2})}});
    scrivell::Compression zstd;
    zstd.codec = scrivell::Compression::Codec::BloscZstd;
    zstd.level = 7;
    const std::vector<scrivell::Record> table{
        r::MapWritten{true, Map{{"/entry/title", "t"}}},
        r::AppendRegistered{"x", Map{{"datasetname", "x"}, {"batch", 2}}},
        r::Appended{&values},
        r::SplitRegistered{"/entry/data", 7, {}, ""},
        r::SplitRegistered{"/entry/pilatus", 5, zstd, "pilatus_", /*vds=*/true},
        r::BlockStarted{"/entry/data", 3, "<u2", {2, 2}},
        r::RowWritten{"/entry/data"},
        r::BlockFull{"/entry/data", "{\"tag\": \"scan_run\"}"},
        r::BlockDone{"/entry/data", 3, 100, 400},
        r::SeqNoted{"80ab", 42},
        r::RequestsMissing{4, 9},
        r::RequestFailed{"close \"m.h5\": no"},
    };
    std::vector<bool> kinds(std::variant_size_v<scrivell::Record>, false);
    for (const auto& record : table) kinds[record.index()] = true;
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), false), 0) << "a record kind is missing";

    support::TempDir dir;
    scrivell::JournalFile journal =
        scrivell::JournalFile::create(dir.path(), "file", {{"kind", "file"}}, /*sync=*/false);
    for (const auto& record : table) scrivell::add_to(journal, record);
    journal.write();
    const scrivell::JournalRecords read = scrivell::read_journal(journal.path());
    ASSERT_EQ(read.records.size(), table.size() + 1);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const Map written = scrivell::encode(table[i]);
        EXPECT_EQ(Value(written), read.records[i + 1]) << i;
        EXPECT_EQ(scrivell::encode(scrivell::decode(read.records[i + 1])), written) << i;
    }
    // A stem that could name another place is refused, as a hostile journal's would be.
    for (const char* stem : {"../x_", "a/b_", "x", ".hidden_"}) {
        Map stored = scrivell::encode(r::SplitRegistered{"/entry/d", 2, {}, "d_"});
        zelt::put(stored, "stem", stem);
        EXPECT_THROW(scrivell::decode(Value(stored)), scrivell::Error) << stem;
    }
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
    std::uintmax_t after_failure = 0;
    {
        const support::FileSizeLimit limit(before + 10);
        journal.add(Map{{"op", "append"}, {"values", Map{{"x", std::string(100, 'a')}}}});
        EXPECT_THROW(journal.write(), scrivell::Error);
        after_failure = std::filesystem::file_size(journal.path());
    }
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

namespace {

// A journal for `master` in `journal_dir`, as a killed service left it, with `records`.
void leave_journal(const std::string& journal_dir, const std::string& master,
                   const std::vector<Map>& records) {
    std::filesystem::create_directories(journal_dir);
    scrivell::JournalFile journal = scrivell::JournalFile::create(
        journal_dir, "file",
        {{"kind", "file"}, {"filepath", master}, {"created", true}, {"opened_ns", 1}},
        /*sync=*/false);
    for (const Map& record : records) journal.add(record);
    journal.write();
}

std::vector<std::string> names_in(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(Restore, ARecordThatCannotBeAppliedCostsItselfAndIsReportedNotTheJournal) {
    support::TempDir dir;
    const std::string master = dir / "m.h5";
    H5Fclose(H5Fcreate(master.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT));
    leave_journal(dir / "journal", master,
                  {Map{{"op", "append_register"}, {"name", "x"}, {"description", Map{}}},
                   Map{{"no op", 1}}, Map{{"op", "append"}, {"values", Map{{"x", 7}}}}});
    scrivell::Settings settings;
    settings.journal_dir = dir / "journal";
    scrivell::Scrivell scrivell(settings);
    scrivell.restore();
    ASSERT_TRUE(scrivell.is_open(master));
    EXPECT_EQ(*zelt::find(of_file(scrivell, master, "appendable"), "x"), Value(1));
    EXPECT_EQ(scrivell.unreported_failures(), 1u);
    const std::string report = scrivell.take_failure_report(master);
    EXPECT_TRUE(Contains(report, "1 earlier request for this file failed: restore")) << report;
    EXPECT_TRUE(Contains(report, "journal record 2 was not restored")) << report;
    const auto names = names_in(dir / "journal");
    EXPECT_TRUE(std::none_of(names.begin(), names.end(), [](const std::string& name) {
        return name.find(".unrestorable") != std::string::npos;
    }));
}

TEST(Restore, AMasterAReaderHoldsLockedIsRestoredAllTheSame) {
    support::TempDir dir;
    const std::string master = dir / "m.h5";
    H5Fclose(H5Fcreate(master.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT));
    leave_journal(dir / "journal", master,
                  {Map{{"op", "append_register"}, {"name", "x"}, {"description", Map{}}}});
    scrivell::Settings settings;
    settings.journal_dir = dir / "journal";
    // A reader in another process holds the file under HDF5's lock: no reason to wait.
    const int holder = ::open(master.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    scrivell::Scrivell scrivell(settings);
    scrivell.restore();
    EXPECT_TRUE(scrivell.is_open(master));
    EXPECT_FALSE(std::filesystem::exists(master + ".damaged"));
    ::close(holder);
}

TEST(Restore, AScanTakenUpPastBlock9999WidensItsNames) {
    support::TempDir dir;
    const std::string master = dir / "m.h5";
    H5Fclose(H5Fcreate(master.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT));
    leave_journal(dir / "journal", master,
                  {Map{{"op", "split_register"}, {"name", "/entry/data"}, {"splitSize", 1}},
                   Map{{"op", "block_done"}, {"name", "/entry/data"}, {"index", 9998}}});
    scrivell::Settings settings;
    settings.journal_dir = dir / "journal";
    scrivell::Scrivell scrivell(settings);
    scrivell.restore();
    for (std::int64_t frame : {1, 2}) {
        scrivell.process({{"type", "dataset_append_split_map"},
                          {"filepath", master},
                          {"map", Map{{"/entry/data", frame}}}});
    }
    scrivell.process({{"type", "close"}, {"filepath", master}});
    EXPECT_EQ(H5Reader(dir / "9999.h5").int64s("/entry/data/data"), std::vector<std::int64_t>{1});
    EXPECT_EQ(H5Reader(dir / "10000.h5").int64s("/entry/data/data"), std::vector<std::int64_t>{2});
    H5Reader file{master};
    EXPECT_EQ(file.external_link("/entry/data/data_10000").first, "10000.h5");
    EXPECT_EQ(file.external_link("/entry/data/data_9999").first, "9999.h5");
}

TEST(Restore, AnOpenWhoseJournalCannotBeMadeLeavesNothing) {
    support::TempDir dir;
    scrivell::Settings settings;
    settings.journal_dir = dir / "journal";
    scrivell::Scrivell scrivell(settings);
    // The journal directory goes away under the service: no journal can be made.
    std::filesystem::rename(dir / "journal", dir / "gone");
    EXPECT_THROW(scrivell.process({{"type", "open"}, {"filepath", dir / "m.h5"}}), scrivell::Error);
    EXPECT_TRUE(scrivell.open_paths().empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "m.h5"));
    std::filesystem::rename(dir / "gone", dir / "journal");
    scrivell.process({{"type", "open"}, {"filepath", dir / "m.h5"}});
    EXPECT_TRUE(scrivell.is_open(dir / "m.h5"));
}

namespace {

// What restore must give back of one file: its tables as status shows them, and the request
// numbers per client.
struct Account {
    Value status;
    std::map<std::string, std::int64_t> seqs;
    bool operator==(const Account& other) const {
        return status == other.status && seqs == other.seqs;
    }
};

Account account_of(const scrivell::Scrivell& scrivell, const std::string& /*master*/) {
    const Map status = scrivell.status();
    return {*zelt::find(status, "files"), {}};
}

}  // namespace

TEST(Restore, TheJournalCutAtEveryRecordGivesTheStateAfterItsLastWholeRecord) {
    support::TempDir dir;
    const std::string master = dir / "m.h5";
    const std::string live_journal = dir / "live";
    scrivell::Settings settings;
    settings.journal_dir = live_journal;
    // Live: requests of every kind that changes only the tables, the state after each one,
    // and where its records end in the journal.
    std::vector<Account> states;
    std::vector<std::uintmax_t> ends;
    std::string journal_name;
    {
        scrivell::Scrivell live(settings);
        const std::vector<Map> requests{
            {{"type", "open"}, {"filepath", master}},
            {{"type", "create_dataset_append"},
             {"filepath", master},
             {"dataset_info_list", List{Map{{"datasetname", "x"}}, Map{{"datasetname", "t"}}}}},
            {{"type", "dataset_append_map"}, {"filepath", master}, {"map", Map{{"x", 1}}}},
            {{"type", "dataset_append_map"},
             {"filepath", master},
             {"map", Map{{"x", 2}, {"t", "a"}}}},
            {{"type", "create_dataset_append_split"},
             {"filepath", master},
             {"datainfolist", List{List{"/entry/data", 4}}}},
            {{"type", "dataset_append_map"}, {"filepath", master}, {"map", Map{{"t", "b"}}}},
            {{"type", "create_dataset_append"},
             {"filepath", master},
             {"dataset_info_list", List{Map{{"datasetname", "x"}}}}},  // empties x again
        };
        for (std::size_t i = 0; i < requests.size(); ++i) {
            live.process(requests[i]);
            (void)live.note_seq(master, "c1", static_cast<std::int64_t>(2 * i + 1));  // 2i: lost
            live.write_journals();
            if (journal_name.empty()) {
                for (const auto& entry : std::filesystem::directory_iterator(live_journal)) {
                    const std::string name = entry.path().filename();
                    if (name.rfind("file-", 0) == 0) journal_name = name;
                }
            }
            states.push_back(account_of(live, master));
            ends.push_back(std::filesystem::file_size(live_journal + "/" + journal_name));
        }
    }  // the file closes without its close: the journal stays, as after a crash
    const std::string whole = support::read_text(live_journal + "/" + journal_name);
    // Cut at every request's end, and inside its last record: the state after the last
    // request whose records are all whole (a request's records are written together).
    for (std::size_t i = 0; i < ends.size(); ++i) {
        for (const std::uintmax_t cut : {ends[i], ends[i] + (i + 1 < ends.size() ? 3 : 0)}) {
            const std::string journal_dir = dir / ("cut-" + std::to_string(cut));
            std::filesystem::create_directories(journal_dir);
            std::ofstream(journal_dir + "/" + journal_name, std::ios::binary)
                << whole.substr(0, cut);
            scrivell::Settings restoring;
            restoring.journal_dir = journal_dir;
            scrivell::Scrivell restored(restoring);
            restored.restore();
            EXPECT_TRUE(account_of(restored, master) == states[i])
                << "cut at " << cut << " after request " << i << ": "
                << zelt::to_text(account_of(restored, master).status) << " against "
                << zelt::to_text(states[i].status);
            // The requests never seen come back as missing, each once.
            EXPECT_EQ(restored.unreported_failures(), i) << "cut at " << cut;
        }
    }
}

namespace {

// One random scan, as the model expects it back: requests of every kind, each acknowledged.
struct RandomScan {
    std::vector<Map> requests;
    std::vector<std::pair<std::string, std::int64_t>> seqs;  // after each request: (client, seq)
    std::vector<std::int64_t> x;                             // appendable "x" since registered
    std::vector<std::string> t;                              // appendable "t" since registered
    std::vector<std::int64_t> rows;                          // split "/entry/data", in order
    std::int64_t split_size = 1;
    std::string compression = "none";
};

RandomScan random_scan(const std::string& master, unsigned seed) {
    std::mt19937 random(seed);
    auto below = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    RandomScan scan;
    scan.split_size = 1 + below(4);
    scan.compression = std::vector<std::string>{"none", "bslz4", "blosc-lz4"}[below(3)];
    scan.requests.push_back({{"type", "open"}, {"filepath", master}});
    scan.requests.push_back(
        {{"type", "create_dataset_append"},
         {"filepath", master},
         {"dataset_info_list", List{Map{{"datasetname", "x"}}, Map{{"datasetname", "t"}}}}});
    scan.requests.push_back({{"type", "create_dataset_append_split"},
                             {"filepath", master},
                             {"datainfolist", List{List{"/entry/data", scan.split_size,
                                                        Map{{"compression", scan.compression}}}}}});
    std::int64_t next_row = 0;
    std::map<std::string, std::int64_t> seq;
    // Killed after a random number of requests.
    const int count = 5 + below(40);
    for (int i = 0; i < count; ++i) {
        switch (below(6)) {
            case 0:
            case 1: {
                const std::int64_t value = below(1000);
                scan.x.push_back(value);
                const std::string text(static_cast<std::size_t>(below(5)), 'a' + below(26));
                Map map{{"x", value}};
                if (below(2)) {
                    scan.t.push_back(text);
                    map.emplace_back("t", text);
                }
                scan.requests.push_back(
                    {{"type", "dataset_append_map"}, {"filepath", master}, {"map", map}});
                break;
            }
            case 2:
            case 3:
                scan.rows.push_back(++next_row);
                scan.requests.push_back({{"type", "dataset_append_split_map"},
                                         {"filepath", master},
                                         {"map", Map{{"/entry/data", next_row}}}});
                break;
            case 4:
                scan.requests.push_back({{"type", "create_dataset_map"},
                                         {"filepath", master},
                                         {"map", Map{{"meta/n" + std::to_string(i), i}}}});
                break;
            default:
                scan.x.clear();
                scan.requests.push_back({{"type", "create_dataset_append"},
                                         {"filepath", master},
                                         {"dataset_info_list", List{Map{{"datasetname", "x"}}}}});
        }
        // Two clients number their requests; some numbers never arrive.
        const std::string client = below(2) ? "c1" : "c2";
        seq[client] += 1 + (below(4) == 0 ? below(3) : 0);
        scan.seqs.emplace_back(client, seq[client]);
    }
    return scan;
}

}  // namespace

TEST(Restore, RandomScansKilledAnywhereComeBackAsTheyWereAndLoseNoAcknowledgedValue) {
    for (unsigned seed = 1; seed <= 16; ++seed) {
        support::TempDir dir;
        const std::string master = dir / "m.h5";
        const RandomScan scan = random_scan(master, seed);
        scrivell::Settings settings;
        settings.journal_dir = dir / "journal";
        const std::string live_account = dir / "live-account";
        // The live service runs the scan in a child that then dies without any clean-up, as
        // a killed service does; it leaves its account for the comparison.
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            try {
                scrivell::Scrivell live(settings);
                for (std::size_t i = 0; i < scan.requests.size(); ++i) {
                    live.process(scan.requests[i]);
                    if (i >= 1 && i - 1 < scan.seqs.size()) {
                        const auto& [client, seq] = scan.seqs[i - 1];
                        (void)live.note_seq(master, client, seq);
                    }
                    live.write_journals();
                }
                const Account account = account_of(live, master);
                Map seqs;
                for (const auto& [client, n] : account.seqs) seqs.emplace_back(client, n);
                std::ofstream(live_account) << zelt::to_text(account.status) << "\n"
                                            << zelt::to_text(Value(seqs));
                ::_exit(0);  // while the service still holds everything
            } catch (const std::exception& error) {
                std::ofstream(live_account) << "failed: " << error.what();
            }
            ::_exit(1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << support::read_text(live_account);

        scrivell::Scrivell restored(settings);
        restored.restore();
        const Account account = account_of(restored, master);
        Map seqs;
        for (const auto& [client, n] : account.seqs) seqs.emplace_back(client, n);
        EXPECT_EQ(zelt::to_text(account.status) + "\n" + zelt::to_text(Value(seqs)),
                  support::read_text(live_account))
            << "seed " << seed;
        restored.process({{"type", "close"}, {"filepath", master}});
        H5Reader file{master};
        if (!scan.x.empty()) {
            EXPECT_EQ(file.int64s("/x"), scan.x) << "seed " << seed;
        }
        if (!scan.t.empty()) {
            EXPECT_EQ(file.texts("/t"), scan.t) << "seed " << seed;
        }
        std::vector<std::int64_t> rows;
        for (std::int64_t block = 0;
             block * scan.split_size < static_cast<std::int64_t>(scan.rows.size()); ++block) {
            const auto some =
                H5Reader(dir / scrivell::sub_file_name("", block)).int64s("/entry/data/data");
            rows.insert(rows.end(), some.begin(), some.end());
        }
        EXPECT_EQ(rows, scan.rows) << "seed " << seed << ", " << scan.compression;
    }
}

TEST(Restore, ACloseThatFailsAtShutdownKeepsEveryRowAndTheNextStartFinishesIt) {
    // Raw and compressed last blocks, the rename refused by a directory in the way, then an
    // orderly stop: the rows stay in the hidden file and the journal, and the next start (the
    // directory gone) finishes the block with every row.
    for (const char* codec : {"none", "bslz4"}) {
        SCOPED_TRACE(codec);
        support::TempDir dir;
        const std::string master = dir / "m.h5";
        scrivell::Settings settings;
        settings.journal_dir = dir / "journal";
        std::vector<std::int64_t> sent;
        {
            scrivell::Scrivell scrivell(settings);
            scrivell.restore();
            scrivell.process({{"type", "open"}, {"filepath", master}});
            scrivell.process(
                {{"type", "create_dataset_append_split"},
                 {"filepath", master},
                 {"datainfolist", List{List{"/entry/data", 4, Map{{"compression", codec}}}}}});
            for (std::int64_t i = 0; i < 3; ++i) {
                sent.push_back(1000 + i);
                scrivell.process({{"type", "dataset_append_split_map"},
                                  {"filepath", master},
                                  {"map", Map{{"/entry/data", sent.back()}}}});
            }
            scrivell.write_journals();
            std::filesystem::create_directory(dir / "0000.h5");
            EXPECT_THROW(scrivell.close_at_shutdown(master), scrivell::Error);
        }
        EXPECT_TRUE(std::filesystem::exists(dir / ".0000.h5.part"));
        std::filesystem::remove(dir / "0000.h5");
        scrivell::Scrivell scrivell(settings);
        scrivell.restore();
        EXPECT_EQ(scrivell.unreported_failures(), 0u);
        scrivell.process({{"type", "close"}, {"filepath", master}});
        EXPECT_EQ(H5Reader(dir / "0000.h5").int64s("/entry/data/data"), sent);
        EXPECT_EQ(H5Reader(master).int64s("/entry/data/data_0000"), sent);
    }
}

TEST(Restore, ABlockThatCannotBeTakenUpIsKeptAsideAndReportedAndTheRestIsRestored) {
    support::TempDir dir;
    const std::string master = dir / "m.h5";
    scrivell::Settings settings;
    settings.journal_dir = dir / "journal";
    {
        scrivell::Scrivell scrivell(settings);
        scrivell.restore();
        scrivell.process({{"type", "open"}, {"filepath", master}});
        scrivell.process({{"type", "create_dataset_append"},
                          {"filepath", master},
                          {"dataset_info_list", List{Map{{"datasetname", "x"}}}}});
        scrivell.process({{"type", "create_dataset_append_split"},
                          {"filepath", master},
                          {"datainfolist", List{List{"/entry/data", 4}}}});
        scrivell.process(
            {{"type", "dataset_append_map"}, {"filepath", master}, {"map", Map{{"x", 2.5}}}});
        scrivell.process({{"type", "dataset_append_split_map"},
                          {"filepath", master},
                          {"map", Map{{"/entry/data", 7}}}});
        scrivell.write_journals();
    }
    // Someone replaced the hidden file with one of another shape.
    std::filesystem::remove(dir / ".0000.h5.part");
    support::write_int64s(dir / ".0000.h5.part", "/entry/data/data", {1, 2});
    scrivell::Scrivell scrivell(settings);
    scrivell.restore();
    ASSERT_TRUE(scrivell.is_open(master));
    ASSERT_EQ(scrivell.unreported_failures(), 1u);
    const std::string report = scrivell.take_failure_report(master);
    EXPECT_TRUE(Contains(report, "block 0 of \"/entry/data\" was not taken up")) << report;
    EXPECT_TRUE(Contains(report, ".0000.h5.part.unrestorable"));
    EXPECT_TRUE(std::filesystem::exists(dir / ".0000.h5.part.unrestorable"));
    // What was kept aside is nowhere a reader looks: status counts none of its rows.
    const Map status = scrivell.status();
    const auto under = [](const Map& map, const std::string& key) -> const Map& {
        return *zelt::find(map, key)->as<Map>();
    };
    const Map& split = under(under(under(under(status, "files"), master), "split"), "/entry/data");
    EXPECT_EQ(zelt::to_text(*zelt::find(split, "frames_readable")), "0");
    EXPECT_EQ(zelt::find(split, "current"), nullptr);
    scrivell.process({{"type", "dataset_append_split_map"},
                      {"filepath", master},
                      {"map", Map{{"/entry/data", 8}}}});
    scrivell.process({{"type", "close"}, {"filepath", master}});
    EXPECT_EQ(H5Reader(master).float64s("x"), std::vector<double>{2.5});
    EXPECT_EQ(H5Reader(dir / "0000.h5").int64s("/entry/data/data"), std::vector<std::int64_t>{8});
}

TEST(Restore, TheOwedNotificationsAreRewrittenByWriteThenRename) {
    support::TempDir dir;
    scrivell::Settings settings;
    settings.journal_dir = dir / "journal";
    settings.vesk.bootstrap_servers = "127.0.0.1:1";  // nobody: they stay owed
    settings.vesk.timeout_ms = 200;
    {
        scrivell::Scrivell scrivell(settings);
        scrivell.restore();
        const std::string master = dir / "m.h5";
        scrivell.process({{"type", "open"}, {"filepath", master}});
        scrivell.close_at_shutdown(master);
        scrivell.write_journals();
    }
    auto outbox_journals = [&] {
        std::vector<std::string> out;
        for (const auto& name : names_in(dir / "journal")) {
            if (name.find("outbox") != std::string::npos) out.push_back(name);
        }
        return out;
    };
    const auto before = outbox_journals();
    ASSERT_EQ(before.size(), 1u);
    // A restore cut short after its new journal was made leaves it beside the old one: the
    // next restore still finds the one stop notification, once.
    std::ofstream(dir / "journal" + "/.outbox-new-XXXXXX") << "cut short";
    for (int start = 0; start < 2; ++start) {
        scrivell::Scrivell scrivell(settings);
        scrivell.restore();
        EXPECT_EQ(scrivell.notifications_owed(), 1u);
        EXPECT_EQ(outbox_journals(), before);
    }
}

TEST(Restore, FailuresNoClientHeardOfOutliveARestartAndAreReportedOnce) {
    support::TempDir dir;
    const std::string master = dir / "m.h5";
    const std::string never_opened = dir / "nowhere/n.h5";
    scrivell::Settings settings;
    settings.journal_dir = dir / "journal";
    {
        scrivell::Scrivell scrivell(settings);
        scrivell.restore();
        scrivell.process({{"type", "open"}, {"filepath", master}});
        scrivell.note_failure(master, "dataset_append_map \"m.h5\": first");
        scrivell.note_failure(master, "dataset_append_map \"m.h5\": second");
        (void)scrivell.note_seq(master, "c1", 1);
        (void)scrivell.note_seq(master, "c1", 5);
        scrivell.note_failure(never_opened, "open: no such directory");
        EXPECT_EQ(scrivell.unreported_failures(), 6u);
        scrivell.write_journals();
    }  // as after a crash: the open file's failures are in its journal, the others are gone
    scrivell::Scrivell scrivell(settings);
    scrivell.restore();
    EXPECT_TRUE(scrivell.has_unreported_failures(master));
    EXPECT_EQ(scrivell.unreported_failures(), 5u);
    // A close without a reply leaves them for the next waiting close of the path.
    scrivell.process({{"type", "close"}, {"filepath", master}});
    EXPECT_EQ(scrivell.unreported_failures(), 5u);
    EXPECT_EQ(scrivell.take_failure_report(master),
              "2 earlier requests for this file failed; the first: dataset_append_map "
              "\"m.h5\": first; and requests 2-4 never reached the service");
    EXPECT_EQ(scrivell.take_failure_report(master), "");
    EXPECT_TRUE(scrivell.take_failure_reports().empty());
}
