#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <thread>
#include <zelt/codec.hpp>
#include <zmq.hpp>

#include "support.hpp"

using namespace std::chrono_literals;
using support::Client;
using support::ok;
using zelt::List;
using zelt::Map;
using zelt::NdArray;
using zelt::Value;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// True when nothing listens on the port: the service ended before it bound its worker.
bool port_is_free(int port) {
    try {
        zmq::context_t context(1);
        zmq::socket_t socket(context, zmq::socket_type::router);
        socket.set(zmq::sockopt::linger, 0);
        socket.bind("tcp://127.0.0.1:" + std::to_string(port));
        return true;
    } catch (const zmq::error_t&) {
        return false;
    }
}

}  // namespace

class Service : public ::testing::Test {
  protected:
    void start(std::vector<std::string> args = {}) {
        service = std::make_unique<support::ServiceProcess>(dir, config_->path(), std::move(args));
        client = std::make_unique<Client>(config_->port());
        // The first blocking request also tells that the service is up.
        ASSERT_EQ(client->call({{"type", "closeAll"}}), ok());
    }
    std::string path(const std::string& name = "m.h5") const { return dir / name; }

    support::TempDir dir;
    void reconfigure(const std::string& corvane_extra, const std::string& bootstrap = "",
                     int vesk_timeout_ms = 3000) {
        config_.reset();
        config_.emplace(dir, support::free_port(), bootstrap, corvane_extra, vesk_timeout_ms);
    }

    std::optional<support::ZeltConfig> config_{std::in_place, dir, support::free_port(), ""};
    std::unique_ptr<support::ServiceProcess> service;
    std::unique_ptr<Client> client;
};

TEST_F(Service, DefaultLevelWritesNoRequestLineAndDebugWritesOneEach) {
    start();
    client->call({{"type", "open"}, {"filepath", path()}});
    service->signal(SIGTERM);
    ASSERT_EQ(service->wait_exit(), 0);
    EXPECT_FALSE(contains(service->err(), "request"));

    start({"--log-level", "DEBUG"});
    const std::uint16_t frame[4] = {0x4141, 0x4141, 0x4141, 0x4141};
    client->call({{"type", "create_dataset_map"},
                  {"filepath", path()},
                  {"map", Map{{"mask", NdArray::view(frame, {2, 2})}}}});
    client->call({{"type", "open"}, {"filepath", path()}});
    service->signal(SIGTERM);
    ASSERT_EQ(service->wait_exit(), 0);
    const std::string log = service->err();
    EXPECT_EQ(count_of(log, "request {"), 3u) << log;
    EXPECT_TRUE(contains(log, "\"mask\": <u2 [2, 2]")) << log;
    EXPECT_FALSE(contains(log, "AAAA"));
}

TEST_F(Service, CommandLineAndConfigurationFailuresEndItBeforeItBinds) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--log-level", "debug"}, {"--verbose"}, {"extra"}}) {
        support::ServiceProcess refused(dir, config_->path(), args);
        const auto status = refused.wait_exit();
        ASSERT_TRUE(status.has_value());
        EXPECT_NE(*status, 0);
        EXPECT_TRUE(port_is_free(config_->port()));
    }
    support::ServiceProcess help(dir, config_->path(), {"--help"});
    EXPECT_EQ(help.wait_exit(), 0);
    const std::string text = help.out();
    EXPECT_TRUE(contains(text, "Set logging level")) << text;
    EXPECT_TRUE(contains(text, "--log-level")) << text;
    EXPECT_TRUE(contains(text, "DEBUG")) << text;

    std::ofstream(dir / "bad.ini") << "[corvane]\nip = 127.0.0.1\n";
    support::ServiceProcess no_port(dir, dir / "bad.ini");
    EXPECT_EQ(no_port.wait_exit(), 1);
    EXPECT_TRUE(contains(no_port.err(), "no entry \"port\" in section [corvane]"));
    std::ofstream(dir / "bad.ini") << "[elsewhere]\n";
    support::ServiceProcess no_section(dir, dir / "bad.ini");
    EXPECT_EQ(no_section.wait_exit(), 1);
    EXPECT_TRUE(contains(no_section.err(), "no section [corvane]"));
}

TEST_F(Service, OnlyATrueBlockGetsAReplyAndItReachesItsSender) {
    start();
    for (const Value& block : {Value(false), Value(), Value(0), Value("")}) {
        client->send(Map{{"type", "open"}, {"filepath", path()}, {"block", block}});
    }
    client->send(Map{{"type", "open"}, {"filepath", path()}});
    Client other(config_->port());
    other.send(Map{{"type", "open"}, {"filepath", path("b.h5")}, {"block", true}});
    client->send(Map{{"type", "open"}, {"filepath", path("b.h5")}, {"block", 1}});
    EXPECT_EQ(other.reply(), ok());
    EXPECT_EQ(client->reply(), ok());
    EXPECT_FALSE(other.reply(200ms).has_value());
    EXPECT_FALSE(client->reply(200ms).has_value());
    // A second open of the same path still succeeds, with its line on standard output.
    const auto lines = service->out_lines(5);
    EXPECT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines.back(), "file already opened:  " + path("b.h5"));
}

TEST_F(Service, FailedRequestsAreAnsweredAndTheServiceServesOn) {
    start();
    EXPECT_TRUE(support::is_error_with(client->call({{"type", "process"}}), "names no operation"));
    EXPECT_TRUE(support::is_error_with(client->call({{"filepath", path()}}), "no \"type\""));
    EXPECT_TRUE(
        support::is_error_with(client->call({{"type", "open"}, {"filepath", path("missing/m.h5")}}),
                               "open \"" + path("missing/m.h5") + "\""));
    EXPECT_TRUE(support::is_error_with(
        client->call({{"type", "create_dataset_map"}, {"filepath", path()}, {"map", 1}}),
        "create_dataset_map \"" + path() + "\""));
    // Undecodable payloads are answered too: their "block" cannot be read.
    for (const std::string& payload : {std::string("\xc1", 1), std::string("\x82\xa4ty", 4),
                                       std::string("\xc4\x01"
                                                   "a",
                                                   3),
                                       std::string("\x01", 1)}) {
        client->send_bytes(payload);
        const auto reply = client->reply();
        ASSERT_TRUE(reply.has_value());
        EXPECT_TRUE(support::is_error_with(*reply, "decode")) << zelt::to_text(*reply);
    }
    client->send_frames({zelt::dumps(Map{{"type", "closeAll"}, {"block", true}}), "x"});
    EXPECT_TRUE(support::is_error_with(*client->reply(), "several"));
    // A failed non-blocking request gets nothing; the next request is served.
    client->send(Map{{"type", "nothing"}});
    EXPECT_EQ(client->call({{"type", "open"}, {"filepath", path()}}), ok());
    EXPECT_TRUE(contains(service->err(), "process: \"type\" \"process\" names no operation"));
}

TEST_F(Service, OversizedMessageIsRefusedByTheSocket) {
    reconfigure("max_message_bytes = 1000");
    start();
    std::vector<std::uint8_t> big(4096);
    Client sender(config_->port());
    sender.send(Map{{"type", "open"},
                    {"filepath", path()},
                    {"big", NdArray::view(big, {4096})},
                    {"block", true}});
    EXPECT_FALSE(sender.reply(500ms).has_value());
    EXPECT_EQ(client->call({{"type", "open"}, {"filepath", path()}}), ok());
}

TEST_F(Service, EveryReplyReachesItsOwnClientWithItsNumberEvenOneTooLargeToSend) {
    reconfigure("max_message_bytes = 600");
    start();
    // Enough open files that the status no longer fits a message.
    for (int i = 0; i < 8; ++i) {
        std::filesystem::create_directory(dir / std::to_string(i));
        ASSERT_EQ(
            client->call({{"type", "open"},
                          {"filepath", dir / std::to_string(i) + "/" + std::string(60, 'm')}}),
            ok());
    }
    Client asking(config_->port());
    Client closing(config_->port());
    asking.send(Map{{"type", "status"}, {"seq", 3}, {"block", true}});
    closing.send(Map{{"type", "close"}, {"filepath", path("x.h5")}, {"seq", 9}, {"block", true}});
    const auto too_large = asking.reply();
    ASSERT_TRUE(too_large.has_value());
    EXPECT_TRUE(support::is_error_with(*too_large, "status: the reply could not be sent"))
        << zelt::to_text(*too_large);
    EXPECT_EQ(*zelt::find(*too_large->as<Map>(), "seq"), Value(3));
    EXPECT_EQ(closing.reply(), Value(Map{{"ret", "ok"}, {"seq", 9}}));
    // A message the service cannot read is answered without a number: no numbered request
    // takes it for its own.
    std::string nested;
    for (int i = 0; i < 70; ++i) nested += '\x91';
    nested += '\x80';
    closing.send_bytes(nested);
    const auto refused = closing.reply();
    ASSERT_TRUE(refused.has_value());
    EXPECT_TRUE(support::is_error_with(*refused, "nesting deeper than 64"));
    EXPECT_EQ(zelt::find(*refused->as<Map>(), "seq"), nullptr);
    EXPECT_EQ(asking.reply(200ms), std::nullopt);
}

TEST_F(Service, StopSignalClosesEveryFileWithNothingLost) {
    start();
    client->send(Map{{"type", "open"}, {"filepath", path()}});
    client->send(Map{{"type", "create_dataset_append"},
                     {"filepath", path()},
                     {"dataset_info_list", List{Map{{"datasetname", "energy"}}}}});
    client->send(Map{{"type", "create_dataset_append_split"},
                     {"filepath", path()},
                     {"datainfolist", List{List{"/entry/data", 10}}}});
    for (int i = 0; i < 3; ++i) {
        client->send(Map{{"type", "dataset_append_map"},
                         {"filepath", path()},
                         {"map", Map{{"energy", 1.5 * i}}}});
        client->send(Map{{"type", "dataset_append_split_map"},
                         {"filepath", path()},
                         {"map", Map{{"/entry/data", i}}}});
    }
    ASSERT_EQ(client->call({{"type", "open"}, {"filepath", path("other.h5")}}), ok());
    service->signal(SIGTERM);
    ASSERT_EQ(service->wait_exit(), 0);
    support::H5Reader master{path()};
    EXPECT_EQ(master.float64s("energy"), (std::vector<double>{0.0, 1.5, 3.0}));
    EXPECT_EQ(master.int64s("/entry/data/data_0000"), (std::vector<std::int64_t>{0, 1, 2}));
    EXPECT_FALSE(std::filesystem::exists(path(".0000.h5.part")));
    EXPECT_TRUE(contains(service->err(), "closed \"" + path() + "\""));
    EXPECT_TRUE(contains(service->err(), "closed \"" + path("other.h5") + "\""));
}

TEST_F(Service, KafkaTroubleIsLoggedEvenUnderCriticalAndTheCloseCompletes) {
    // Nothing listens there: librdkafka reports the refused connections itself.
    reconfigure("", "127.0.0.1:" + std::to_string(support::free_port()), 1000);
    start({"--log-level", "CRITICAL"});
    EXPECT_EQ(client->call({{"type", "open"}, {"filepath", path()}}), ok());
    EXPECT_EQ(client->call({{"type", "close"}, {"filepath", path()}}), ok());
    const auto lines = service->out_lines(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("send2vesk_stop error notification scan_stop for \"" + path() +
                                 "\": no Kafka broker of",
                             0),
              0u)
        << lines[0];
    service->signal(SIGTERM);
    ASSERT_EQ(service->wait_exit(), 0);
    const std::string log = service->err();
    EXPECT_TRUE(contains(log, " kafka: ")) << log;
    EXPECT_FALSE(contains(log, "DEBUG")) << log;
    EXPECT_FALSE(contains(log, " brennic: "))
        << log;  // nothing of the service's own below CRITICAL
}

TEST_F(Service, StopWithoutABrokerStillClosesEveryFileAndNamesTheLostNotifications) {
    reconfigure("", "127.0.0.1:" + std::to_string(support::free_port()), 500);
    start();
    client->send(Map{{"type", "open"}, {"filepath", path()}});
    client->send(Map{{"type", "create_dataset_append_split"},
                     {"filepath", path()},
                     {"datainfolist", List{List{"/entry/data", 10}}}});
    client->send(Map{{"type", "dataset_append_split_map"},
                     {"filepath", path()},
                     {"map", Map{{"/entry/data", 7}}}});
    ASSERT_EQ(client->call(
                  {{"type", "create_dataset_map"}, {"filepath", path()}, {"map", Map{{"x", 1}}}}),
              ok());
    service->signal(SIGTERM);
    ASSERT_EQ(service->wait_exit(), 0);
    support::H5Reader master{path()};
    EXPECT_EQ(master.int64s("/entry/data/data_0000"), std::vector<std::int64_t>{7});
    EXPECT_FALSE(std::filesystem::exists(path(".0000.h5.part")));
    EXPECT_TRUE(contains(service->err(), "notification scan_run for \"" + path("0000.h5") +
                                             "\" was never taken by a broker"))
        << service->err();
}

TEST_F(Service, FailuresWithoutAReplyReachTheNextWaitingCloseOfTheirFile) {
    start();
    // The whole scan of a file whose open failed: nobody asked for a reply.
    const std::string lost = path("missing/m.h5");
    client->send(Map{{"type", "open"}, {"filepath", lost}});
    client->send(Map{{"type", "create_dataset_map"}, {"filepath", lost}, {"map", Map{{"a", 1}}}});
    client->send(Map{{"type", "create_dataset_map"}, {"filepath", lost}, {"map", Map{{"b", 2}}}});
    const zelt::Value reply = client->call({{"type", "close"}, {"filepath", lost}});
    EXPECT_TRUE(support::is_error_with(
        reply, "close \"" + lost +
                   "\": done, but 3 earlier requests for this file failed; the "
                   "first: open \"" +
                   lost + "\": "))
        << zelt::to_text(reply);
    // Reported once: the path is forgotten, and a close of a file never opened stays "ok".
    EXPECT_EQ(client->call({{"type", "close"}, {"filepath", lost}}), ok());
    // A waiting closeAll reports every file's failures.
    ASSERT_EQ(client->call({{"type", "open"}, {"filepath", path()}}), ok());
    client->send(Map{{"type", "dataset_append_map"}, {"filepath", path()}, {"map", Map{{"x", 1}}}});
    const zelt::Value all = client->call({{"type", "closeAll"}});
    EXPECT_TRUE(support::is_error_with(all, "closeAll: done, but \"" + path() +
                                                "\": 1 earlier request for this file failed: "
                                                "dataset_append_map"))
        << zelt::to_text(all);
    EXPECT_EQ(client->call({{"type", "closeAll"}}), ok());
}

// A file system of its own, 2 MiB, for a disk that fills up; unmounted at the end.
class FullDisk : public Service {
  protected:
    void SetUp() override {
        std::filesystem::create_directory(disk());
        if (::getuid() != 0 ||
            std::system(
                ("mount -t tmpfs -o size=2m brennic-test " + disk() + " 2>/dev/null").c_str()) !=
                0) {
            GTEST_SKIP() << "mounting a tmpfs is refused here: the disk-full case is not tested";
        }
        mounted_ = true;
    }
    void TearDown() override {
        service.reset();
        if (mounted_) std::system(("umount -l " + disk()).c_str());
    }
    std::string disk() const { return dir / "disk"; }
    bool mounted_ = false;
};

TEST_F(FullDisk, ARowThatDoesNotFitFailsItsAppendAndTheScanGoesOnOnceThereIsSpace) {
    start();
    const std::string master = disk() + "/m.h5";
    const std::string filler = disk() + "/filler";
    ASSERT_EQ(client->call({{"type", "open"}, {"filepath", master}}), ok());
    ASSERT_EQ(client->call({{"type", "create_dataset_append_split"},
                            {"filepath", master},
                            {"datainfolist", List{List{"/entry/data", 4}}}}),
              ok());
    // Leave a little more than one row free.
    std::vector<std::uint16_t> frame(64 * 1024, 0);
    {
        std::ofstream fill(filler, std::ios::binary);
        std::vector<char> chunk(4096, 'x');
        while (fill.write(chunk.data(), chunk.size())) {
        }
    }
    std::filesystem::resize_file(filler, std::filesystem::file_size(filler) - 200 * 1024);
    std::vector<std::string> errors;
    std::vector<std::uint16_t> accepted;
    for (std::uint16_t i = 0; i < 8 && accepted.size() < 4; ++i) {
        std::fill(frame.begin(), frame.end(), i);
        const Value reply =
            client->call({{"type", "dataset_append_split_map"},
                          {"filepath", master},
                          {"map", Map{{"/entry/data", NdArray::view(frame, {256, 256})}}}});
        if (reply == ok()) {
            accepted.push_back(i);
        } else {
            errors.push_back(zelt::to_text(reply));
            std::filesystem::remove(filler);  // the operator frees space
        }
    }
    ASSERT_FALSE(errors.empty());
    EXPECT_TRUE(contains(errors[0], "No space left on device")) << errors[0];
    EXPECT_EQ(client->call({{"type", "close"}, {"filepath", master}, {"block", true}}), ok());
    // The block has exactly its four rows, in the order they were accepted: none is lost or
    // doubled by the failed write.
    support::H5Reader reader{master};
    const auto rows = reader.uint16s("/entry/data/data_0000");
    ASSERT_EQ(rows.size(), 4u * 256 * 256);
    ASSERT_EQ(accepted.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(rows[k * 256 * 256], accepted[k]) << k;
        EXPECT_EQ(rows[k * 256 * 256 + 256 * 256 - 1], accepted[k]) << k;
    }
}

TEST_F(FullDisk, AMasterThatCannotBeWrittenIsNeverReportedComplete) {
    start();
    const std::string master = disk() + "/m.h5";
    ASSERT_EQ(client->call({{"type", "open"}, {"filepath", master}}), ok());
    {
        std::ofstream fill(disk() + "/filler", std::ios::binary);
        std::vector<char> chunk(4096, 'x');
        while (fill.write(chunk.data(), chunk.size())) {
        }
    }
    Map values;
    for (int i = 0; i < 300; ++i) values.emplace_back("/entry/values/v" + std::to_string(i), i);
    // The request's own flush meets the full disk: the client hears of it at once.
    const Value failed =
        client->call({{"type", "create_dataset_map"}, {"filepath", master}, {"map", values}});
    EXPECT_TRUE(support::is_error_with(failed, "No space left on device")) << zelt::to_text(failed);
    std::filesystem::remove(disk() + "/filler");
    // HDF5 cannot write that file's metadata again: its closes fail, they never answer "ok".
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Value close = client->call({{"type", "close"}, {"filepath", master}});
        EXPECT_TRUE(support::is_error_with(close, "cannot write it again")) << zelt::to_text(close);
    }
    service->signal(SIGTERM);
    EXPECT_EQ(service->wait_exit(), 0);
}

TEST_F(Service, OpensBeyondMaxOpenFilesAreRefusedAndNewClientsStillConnect) {
    reconfigure("max_open_files = 2");
    start();
    ASSERT_EQ(client->call({{"type", "open"}, {"filepath", path("a.h5")}}), ok());
    ASSERT_EQ(client->call({{"type", "open"}, {"filepath", path("b.h5")}}), ok());
    const Value refused = client->call({{"type", "open"}, {"filepath", path("c.h5")}});
    EXPECT_TRUE(support::is_error_with(
        refused, "open \"" + path("c.h5") + "\": 2 files are open, as many as max_open_files"))
        << zelt::to_text(refused);
    Client newcomer(config_->port());
    EXPECT_EQ(newcomer.call({{"type", "close"}, {"filepath", path("a.h5")}}), ok());
    EXPECT_EQ(newcomer.call({{"type", "open"}, {"filepath", path("c.h5")}}), ok());
}

TEST_F(Service, BadPortsAndUnknownHostsEndTheServiceBeforeItBinds) {
    for (const auto& [extra, says] : std::vector<std::pair<std::string, std::string>>{
             {"port = 99999", "port \"99999\" is not a TCP port (1 to 65535)"},
             {"ip = no-such-host.invalid", "address \"no-such-host.invalid\" cannot be resolved"},
         }) {
        reconfigure(extra);
        support::ServiceProcess bad(dir, config_->path(), {}, "bad");
        EXPECT_EQ(bad.wait_exit(), 1) << extra;
        EXPECT_TRUE(contains(bad.err(), says)) << bad.err();
    }
    support::ServiceProcess version(dir, config_->path(), {"--version"}, "version");
    EXPECT_EQ(version.wait_exit(), 0);
    EXPECT_EQ(version.out(), std::string("brennic ") + BRENNIC_VERSION + "\n");
}

TEST_F(Service, InfoLinesTellAScanAndStatusShowsWhatIsHeld) {
    reconfigure("ip = localhost   # resolved to 127.0.0.1\nbogus_entry = 1");
    start({"--log-level", "INFO"});
    ASSERT_EQ(client->call({{"type", "open"}, {"filepath", path()}}), ok());
    client->send(Map{{"type", "create_dataset_append"},
                     {"filepath", path()},
                     {"dataset_info_list", List{Map{{"datasetname", "energy"}}}}});
    client->send(Map{{"type", "create_dataset_append_split"},
                     {"filepath", path()},
                     {"datainfolist", List{List{"/entry/data", 2}}}});
    for (int i = 0; i < 3; ++i) {
        client->send(Map{{"type", "dataset_append_map"},
                         {"filepath", path()},
                         {"map", Map{{"energy", 295.0 + i}}}});
        client->send(Map{{"type", "dataset_append_split_map"},
                         {"filepath", path()},
                         {"map", Map{{"/entry/data", i}}}});
    }
    const Value status = client->call({{"type", "status"}});
    const Map& fields = *status.as<Map>();
    EXPECT_EQ(*zelt::find(fields, "ret"), Value("ok"));
    EXPECT_EQ(*zelt::find(fields, "version"), Value(BRENNIC_VERSION));
    const Map& file = *zelt::find(*zelt::find(fields, "files")->as<Map>(), path())->as<Map>();
    EXPECT_EQ(*zelt::find(*zelt::find(file, "appendable")->as<Map>(), "energy"), Value(3));
    const Map& split = *zelt::find(*zelt::find(file, "split")->as<Map>(), "/entry/data")->as<Map>();
    EXPECT_EQ(*zelt::find(split, "splitFileIndex"), Value(1));
    EXPECT_EQ(*zelt::find(split, "rows"), Value(1));
    EXPECT_EQ(*zelt::find(fields, "notifications_pending"), Value(0));
    EXPECT_EQ(*zelt::find(fields, "failed_requests"), Value(0));
    ASSERT_EQ(client->call({{"type", "close"}, {"filepath", path()}}), ok());
    service->signal(SIGTERM);
    ASSERT_EQ(service->wait_exit(), 0);
    const std::string log = service->err();
    for (const std::string& line : {
             std::string("WARNING brennic: configuration \"") + config_->path() +
                 "\": unknown entries ignored: [corvane] bogus_entry",
             std::string("INFO brennic: brennic ") + BRENNIC_VERSION +
                 " serving on tcp://127.0.0.1:",
             "INFO brennic: open \"" + path() + "\": created (1 files open)",
             "INFO brennic: sub-file \"" + path("0000.h5") + "\": 2 rows, 0.0 MiB, ",
             "INFO brennic: sub-file \"" + path("0001.h5") + "\": 1 rows, 0.0 MiB, ",
             "INFO brennic: close \"" + path() + "\": 1 datasets written, 1 last blocks, ",
             std::string("INFO brennic: brennic ") + BRENNIC_VERSION + " stopped: 0 files closed",
         }) {
        EXPECT_TRUE(contains(log, line)) << line << "\n" << log;
    }
}

TEST_F(Service, TheSampleConfigurationStartsAsItIsWithoutUnknownEntries) {
    // The installed sample, with this test's port and directories in place of the site's.
    std::string sample = support::read_text(std::string(BRENNIC_SOURCE_DIR) + "/config/zelt.ini");
    auto set = [&](const std::string& key, const std::string& value) {
        const auto at = sample.find("\n" + key + " = ");
        ASSERT_NE(at, std::string::npos) << key;
        const auto end = sample.find('\n', at + 1);
        sample.replace(at + 1, end - at - 1, key + " = " + value);
    };
    const int port = support::free_port();
    set("port", std::to_string(port));
    set("journal_dir", dir / "journal");
    set("data_roots", dir.path());
    set("local_socket", dir / "local.sock");
    const std::string path = dir / "sample.ini";
    std::ofstream(path) << sample;
    support::ServiceProcess sampled(dir, path, {"--log-level", "INFO"}, "sample");
    Client sample_client(port);
    EXPECT_EQ(sample_client.call({{"type", "open"}, {"filepath", dir / "m.h5"}}), ok());
    EXPECT_EQ(sample_client.call({{"type", "close"}, {"filepath", dir / "m.h5"}}), ok());
    sampled.signal(SIGTERM);
    EXPECT_EQ(sampled.wait_exit(), 0);
    EXPECT_FALSE(contains(sampled.err(), "unknown entries")) << sampled.err();
    EXPECT_TRUE(contains(sampled.err(), "local clients attach at " + dir / "local.sock"));
}

TEST_F(Service, AClientsTextCannotForgeALineOfTheLogOrOfStandardOutput) {
    start({"--log-level", "DEBUG"});
    const std::string forged = path("a\n2026-01-01 00:00:00,000 ERROR brennic: forged\x1b[2J.h5");
    EXPECT_EQ(client->call({{"type", "open"}, {"filepath", forged}}), ok());
    EXPECT_EQ(client->call({{"type", "open"}, {"filepath", forged}}), ok());
    EXPECT_EQ(client->call({{"type", "close"}, {"filepath", forged + "\r"}}), ok());
    EXPECT_EQ(client->call({{"type", "close"}, {"filepath", forged}}), ok());
    service->signal(SIGTERM);
    ASSERT_EQ(service->wait_exit(), 0);
    const std::string shown = path("a\\n2026-01-01 00:00:00,000 ERROR brennic: forged\\x1b[2J.h5");
    EXPECT_EQ(service->out(),
              "file already opened:  " + shown + "\nclosed file not opened " + shown + "\\r\n");
    EXPECT_FALSE(contains(service->err(), "\n2026-01-01 00:00:00,000 ERROR")) << service->err();
    EXPECT_FALSE(contains(service->err(), "\x1b")) << service->err();
    EXPECT_TRUE(contains(service->err(), shown)) << service->err();
}

TEST_F(Service, AKafkaOutageCostsOtherClientsNothing) {
    support::MockKafka kafka;
    reconfigure("", kafka.bootstrap(), 8000);
    start();
    ASSERT_EQ(client->call({{"type", "open"}, {"filepath", path()}}), ok());
    ASSERT_EQ(client->call({{"type", "create_dataset_append_split"},
                            {"filepath", path()},
                            {"datainfolist", List{List{"/entry/data", 1}}}}),
              ok());
    kafka.set_down(true);
    Client other(config_->port());
    auto slowest = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < 10; ++i) {
        // Every item completes a block whose notification cannot go out: it is answered at
        // once, and so is another client's status.
        ASSERT_EQ(client->call({{"type", "dataset_append_split_map"},
                                {"filepath", path()},
                                {"map", Map{{"/entry/data", i}}}}),
                  ok());
        const auto asked = std::chrono::steady_clock::now();
        const Value status = other.call({{"type", "status"}});
        slowest = std::max(slowest, std::chrono::steady_clock::now() - asked);
        ASSERT_TRUE(status.is<Map>());
    }
    // Unloaded, a status takes under a millisecond; a delivery attempt on the request loop
    // would take the 8 s time-out. The bound leaves room for any machine.
    EXPECT_LT(slowest, std::chrono::milliseconds(4000));
    std::cout << "slowest status during the outage: "
              << std::chrono::duration<double, std::milli>(slowest).count() << " ms\n";
    const Value held = other.call({{"type", "status"}});
    const std::int64_t* pending =
        zelt::find(*held.as<Map>(), "notifications_pending")->as<std::int64_t>();
    ASSERT_NE(pending, nullptr);
    EXPECT_GT(*pending, 0);  // owed, and shown
    kafka.set_down(false);
    // The delivery thread tries again once its window has passed; the close waits for one
    // attempt at its stop notification.
    EXPECT_EQ(client->call({{"type", "close"}, {"filepath", path()}}, 30s), ok());
    // The service's own account first: nothing owed once a broker took them all.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    std::int64_t owed = -1;
    while (std::chrono::steady_clock::now() < deadline) {
        const Value now = other.call({{"type", "status"}});
        owed = *zelt::find(*now.as<Map>(), "notifications_pending")->as<std::int64_t>();
        if (owed == 0) break;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(owed, 0);
    EXPECT_EQ(kafka.messages(11, 30s).size(), 11u) << service->err();
}

// The resident memory of process `pid`, in bytes.
std::uint64_t resident_bytes(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    }
    return 0;
}

TEST_F(Service, FailedRequestsForManyLongPathsHoldBoundedMemory) {
    if (std::getenv("BRENNIC_SANITIZED")) GTEST_SKIP() << "the sanitizers' memory is not ours";
    reconfigure("memory_limit_mib = 64\n");
    start();
    ASSERT_EQ(client->call({{"type", "status"}}).as<Map>()->front().second, Value("ok"));
    const std::uint64_t before = resident_bytes(service->pid());
    // Each request names another file that is not open, by a path of 1 MiB.
    constexpr int sent = 600;
    for (int i = 0; i < sent; ++i) {
        std::string long_path = dir / std::to_string(i);
        long_path.resize(1 << 20, 'x');
        client->send(
            Map{{"type", "dataset_append_map"}, {"filepath", long_path}, {"map", Map{{"x", i}}}});
    }
    ASSERT_EQ(client->call({{"type", "status"}}, 120s).as<Map>()->front().second, Value("ok"));
    const std::uint64_t after = resident_bytes(service->pid());
    const std::uint64_t grown = after > before ? after - before : 0;
    // The requests in the socket's queue and the record of failures (at most 16 MiB) are
    // held for a while; 600 paths of 1 MiB each are not.
    EXPECT_LT(grown, 200u << 20) << grown / (1 << 20) << " MiB more";
}

TEST_F(Service, FailuresOfOneFileAreLoggedAtMostOnceASecondAndTheRestCounted) {
    start();
    ASSERT_EQ(client->call({{"type", "open"}, {"filepath", path()}}), ok());
    // A client that goes on sending to a dataset that was never registered.
    constexpr int sent = 300;
    for (int i = 0; i < sent; ++i) {
        client->send(
            Map{{"type", "dataset_append_map"}, {"filepath", path()}, {"map", Map{{"x", i}}}});
    }
    ASSERT_EQ(client->call({{"type", "status"}}).as<Map>()->front().second, Value("ok"));
    // Every failure is in the log, as a line of its own or counted in a line that says so.
    const std::string line = "dataset_append_map \"" + path() + "\": dataset \"x\"";
    const std::string more = " more failed requests for \"" + path() + "\" were not logged";
    std::size_t logged = 0;
    std::size_t counted = 0;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (logged + counted < sent && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(200ms);
        const std::string log = service->err();
        logged = count_of(log, line);
        counted = 0;
        for (auto at = log.find(more); at != std::string::npos; at = log.find(more, at + 1)) {
            const auto start = log.rfind(' ', at - 1) + 1;
            counted += std::stoul(log.substr(start, at - start));
        }
    }
    EXPECT_EQ(logged + counted, static_cast<std::size_t>(sent)) << service->err();
    EXPECT_LT(logged, static_cast<std::size_t>(sent) / 10);
    // The waiting close still tells the client of every one.
    EXPECT_TRUE(support::is_error_with(client->call({{"type", "close"}, {"filepath", path()}}),
                                       "300 earlier requests for this file failed"));
}
