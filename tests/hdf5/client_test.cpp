#include <gtest/gtest.h>
#include <signal.h>

#include <brennic/hdf5.hpp>
#include <cstring>
#include <filesystem>
#include <thread>

#include "support.hpp"

using namespace std::chrono_literals;
using brennic::hdf5;
using zelt::List;
using zelt::Map;
using zelt::NdArray;
using zelt::Value;

namespace {

std::vector<std::string> keys(const Value& record) {
    std::vector<std::string> out;
    for (const auto& [key, value] : *record.as<Map>()) out.push_back(key);
    return out;
}

}  // namespace

// The records each method sends, received on a real ROUTER standing in for the service.
class ClientRecords : public ::testing::Test {
  protected:
    Value next(std::chrono::milliseconds timeout = 5s) {
        auto identity = router.recv(timeout);
        if (!identity) {
            ADD_FAILURE() << "no request arrived";
            return {};
        }
        last_identity = *identity;
        return router.recv_loads();
    }
    bool nothing_arrives() { return !router.recv(200ms).has_value(); }
    // Replies to `request` as the service does: with the request's "seq" when it has one.
    void answer(const Value& request, Map reply) {
        if (const Value* seq = zelt::find(*request.as<Map>(), "seq"))
            reply.emplace_back("seq", *seq);
        router.send_dumps_id(last_identity, reply);
    }

    support::TempDir dir;
    support::ZeltConfig config{dir, support::free_port(), ""};
    zelt::Worker router{zelt::ROUTER, "127.0.0.1", std::to_string(config.port()), false};
    std::string last_identity;
};

TEST_F(ClientRecords, EachMethodSendsItsRecordInKeyOrder) {
    hdf5 file = hdf5::open("scan.h5");
    EXPECT_EQ(next(), Value(Map{{"type", "open"}, {"filepath", "scan.h5"}, {"seq", 1}}));
    file.create_dataset_map({{"run", Map{{"energy", 12.5}}}});
    EXPECT_EQ(next(), Value(Map{{"type", "create_dataset_map"},
                                {"filepath", "scan.h5"},
                                {"map", Map{{"run", Map{{"energy", 12.5}}}}},
                                {"seq", 2}}));
    file.create_dataset_append({Map{{"datasetname", "x"}}});
    EXPECT_EQ(keys(next()),
              (std::vector<std::string>{"type", "filepath", "dataset_info_list", "seq"}));
    file.create_dataset_append_split(List{List{"/entry/data", 100}});
    EXPECT_EQ(next(), Value(Map{{"type", "create_dataset_append_split"},
                                {"filepath", "scan.h5"},
                                {"datainfolist", List{List{"/entry/data", 100}}},
                                {"seq", 4}}));
    file.dataset_append_map({{"x", 1}}, {{"identify", "s1"}, {"CTType", 0}});
    EXPECT_EQ(keys(next()),
              (std::vector<std::string>{"type", "filepath", "map", "identify", "CTType", "seq"}));
    // A request for another file is not counted among this file's.
    const std::uint16_t frame[4] = {1, 2, 3, 4};
    file.dataset_append_split_map({{"/entry/data", NdArray::view(frame, {2, 2})}},
                                  {{"filepath", "other.h5"}});
    const Value redirected = next();
    EXPECT_EQ(*zelt::find(*redirected.as<Map>(), "filepath"), Value("other.h5"));
    EXPECT_EQ(keys(redirected), (std::vector<std::string>{"type", "filepath", "map"}));
    EXPECT_EQ(*zelt::find(*redirected.as<Map>(), "map"),
              Value(Map{{"/entry/data", NdArray::view(frame, {2, 2})}}));
    file.close();
    EXPECT_EQ(next(), Value(Map{{"type", "close"}, {"filepath", "scan.h5"}, {"seq", 6}}));
    file.close({{"block", false}});
    EXPECT_EQ(next(),
              Value(Map{{"type", "close"}, {"filepath", "scan.h5"}, {"block", false}, {"seq", 7}}));
}

TEST_F(ClientRecords, EmptyArgumentsSendNothing) {
    hdf5 file = hdf5::open("scan.h5");
    next();
    file.create_dataset_map({});
    file.create_dataset_append({});
    file.create_dataset_append_split({});
    file.dataset_append_map({}, {{"identify", 1}});
    file.dataset_append_split_map({});
    EXPECT_TRUE(nothing_arrives());
}

TEST_F(ClientRecords, ClossAllAndTwoOpensUseWorkersOfTheirOwn) {
    hdf5 first = hdf5::open("scan.h5");
    const Value one = next();
    const std::string first_identity = last_identity;
    hdf5 second = hdf5::open("scan.h5");
    EXPECT_EQ(next(), one);
    EXPECT_NE(last_identity, first_identity);
    hdf5::clossAll();
    EXPECT_EQ(next(), Value(Map{{"type", "closeAll"}}));
    EXPECT_NE(last_identity, first_identity);
    EXPECT_EQ(first.ip, "127.0.0.1");
    EXPECT_EQ(first.port, std::to_string(config.port()));
}

TEST_F(ClientRecords, WaitingCloseReturnsOnOkAndRaisesOnErrorOrSilence) {
    hdf5 file = hdf5::open("scan.h5");
    next();
    file.set_reply_timeout(300ms);
    EXPECT_THROW(
        {
            try {
                file.close({{"block", true}});
            } catch (const brennic::ServiceError& error) {
                EXPECT_NE(std::string(error.what()).find("did not answer within 300 ms"),
                          std::string::npos);
                throw;
            }
        },
        brennic::ServiceError);
    next();  // the close that got no answer
    std::thread service([&] {
        answer(next(), Map{{"ret", "ok"}});
        answer(next(), Map{{"ret", "error"}, {"error", "close \"scan.h5\": disk full"}});
    });
    file.set_reply_timeout(5s);
    file.close({{"block", true}});
    try {
        file.close({{"block", 1}});
        ADD_FAILURE() << "an error reply did not raise";
    } catch (const brennic::ServiceError& error) {
        EXPECT_NE(std::string(error.what()).find("disk full"), std::string::npos);
    }
    service.join();
}

TEST_F(ClientRecords, AWaitingRequestTakesItsOwnReplyNeitherAStrayOneNorALaterOnes) {
    hdf5 file = hdf5::open("scan.h5");
    next();
    std::thread service([&] {
        const Value append = next();
        // The answer to a message the service could not read carries no number: not the
        // append's reply.
        router.send_dumps_id(last_identity,
                             Map{{"ret", "error"}, {"error", "decode: nesting deeper than 64"}});
        answer(append, Map{{"ret", "error"}, {"error", "dataset \"y\" is not registered"}});
        answer(next(), Map{{"ret", "ok"}});
    });
    try {
        file.dataset_append_map({{"y", 1}}, {{"block", true}});
        ADD_FAILURE() << "an error reply to a waiting append did not raise";
    } catch (const brennic::ServiceError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "dataset_append_map \"scan.h5\": dataset \"y\" is not registered");
    }
    file.close({{"block", true}});  // its own "ok", not the append's error
    service.join();
}

TEST_F(ClientRecords, ABusyServiceIsWaitedForAndAnAddressWhereNobodyAnswersFailsFast) {
    // Connected but slow (a block being written): the close waits past the few seconds in
    // which an address where nobody answers is given up.
    hdf5 file = hdf5::open("scan.h5");
    next();
    std::thread service([&] {
        const Value close = next();
        std::this_thread::sleep_for(6s);
        answer(close, Map{{"ret", "ok"}});
    });
    file.set_reply_timeout(60s);
    file.close({{"block", true}});
    service.join();
    // Nobody at the address: the calls fail within seconds, although they would wait ten
    // minutes for a reply, naming the address and how to start the service.
    support::ZeltConfig nowhere{dir, support::free_port(), "", "reply_timeout_ms = 600000"};
    const std::string address = "tcp://127.0.0.1:" + std::to_string(nowhere.port());
    // Also a program that only sends one-way: its send fails once the queue to nobody is full.
    const std::vector<std::uint16_t> frame(64 * 64, 1);
    for (const int call : {0, 1, 2}) {
        const auto started = std::chrono::steady_clock::now();
        try {
            if (call == 0) {
                hdf5::status();
            } else if (call == 1) {
                hdf5::open("scan.h5").close({{"block", true}});
            } else {
                hdf5 one_way = hdf5::open("scan.h5", {{"block", false}});
                for (int i = 0; i < 1000000; ++i) {
                    one_way.dataset_append_split_map(
                        {{"/entry/data", NdArray::view(frame, {64, 64})}});
                }
            }
            ADD_FAILURE() << "a call with nobody at " << address << " returned";
        } catch (const brennic::ServiceError& error) {
            EXPECT_NE(std::string(error.what()).find("nobody answers at " + address),
                      std::string::npos)
                << error.what();
            EXPECT_NE(std::string(error.what()).find("start it with `brennic`"), std::string::npos);
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, 60s);
    }
}

TEST_F(ClientRecords, ARequestAboveMaxMessageBytesIsRefusedBeforeItLeaves) {
    support::ZeltConfig small{dir, config.port(), "", "max_message_bytes = 1000"};
    hdf5 file = hdf5::open("scan.h5");
    next();
    const std::vector<double> values(200, 1.5);
    try {
        file.dataset_append_map({{"x", NdArray::view(values, {200})}});
        ADD_FAILURE() << "a request of more than 1000 bytes was sent";
    } catch (const brennic::ServiceError& error) {
        EXPECT_NE(std::string(error.what()).find("more than max_message_bytes (1000)"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_TRUE(nothing_arrives());
    file.dataset_append_map({{"x", 1}});
    EXPECT_EQ(*next().as<Map>()->at(2).second.as<Map>(), (Map{{"x", 1}}));
}

// The whole road of one acquisition, against the real service and a mock Kafka.
TEST(Acquisition, EveryFileAndNotificationComesOut) {
    support::TempDir dir;
    support::MockKafka kafka;
    support::ZeltConfig config(dir, support::free_port(), kafka.bootstrap());
    support::ServiceProcess service(dir, config.path());
    const std::string master = dir / "scan/master.h5";
    std::filesystem::create_directory(dir / "scan");

    hdf5 file = hdf5::open(master);
    file.create_dataset_map({{"entry", Map{{"title", "test"}, {"beam_energy", 12.5}}}});
    file.create_dataset_append({Map{{"datasetname", "/entry/energy"}},
                                Map{{"datasetname", "/entry/position"}},
                                Map{{"datasetname", "/entry/timestamp"}}});
    file.create_dataset_append_split(List{List{"/entry/data", 4}});
    std::vector<std::uint16_t> frame(8 * 6);
    for (int i = 0; i < 10; ++i) {
        std::fill(frame.begin(), frame.end(), static_cast<std::uint16_t>(i));
        file.dataset_append_split_map({{"/entry/data", NdArray::view(frame, {8, 6})}},
                                      {{"identify", "scan-1"}, {"CTType", i % 2}});
        file.dataset_append_map(
            {{"/entry/energy", 12.0 + i}, {"/entry/position", i}, {"/entry/timestamp", 0.5 * i}});
    }
    // Status on a connection of its own may be answered before this proxy's requests are all
    // served: ask until it shows the ten values of one dataset.
    auto held = [&](const Map& status) -> Value {
        const Value* files = zelt::find(status, "files");
        const Value* entry =
            files && files->as<Map>() ? zelt::find(*files->as<Map>(), master) : nullptr;
        const Value* appendable = entry ? zelt::find(*entry->as<Map>(), "appendable") : nullptr;
        const Value* count =
            appendable ? zelt::find(*appendable->as<Map>(), "/entry/energy") : nullptr;
        return count ? *count : Value();
    };
    Map status;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        status = hdf5::status();
    } while (held(status) != Value(10) && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(held(status), Value(10));
    EXPECT_EQ(*zelt::find(status, "ret"), Value("ok"));
    file.close({{"identify", "scan-1"}, {"CTType", 2}, {"block", true}});
    EXPECT_TRUE(zelt::find(hdf5::status(), "files")->as<Map>()->empty());

    // The close has returned: the file is complete and closed on the service's side.
    support::H5Reader reader{master};
    EXPECT_EQ(reader.float64("/entry/beam_energy"), 12.5);
    EXPECT_EQ(reader.float64s("/entry/energy").front(), 12.0);
    EXPECT_EQ(reader.shape("/entry/position"), std::vector<hsize_t>{10});
    EXPECT_EQ(reader.type("/entry/position"), "int64");
    EXPECT_EQ(reader.float64s("/entry/timestamp").back(), 4.5);
    EXPECT_EQ(reader.shape("/entry/data/data_0002"), (std::vector<hsize_t>{2, 8, 6}));
    EXPECT_EQ(reader.uint16s("/entry/data/data_0002").back(), 9);
    const auto messages = kafka.messages(4);
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_NE(messages[0].find("\"identify\": \"scan-1\", \"image_key\": 1, \"filepath\": \"" +
                               dir.path() + "/scan/0000.h5\""),
              std::string::npos)
        << messages[0];
    EXPECT_NE(messages[2].find("\"image_key\": 2"), std::string::npos) << messages[2];
    EXPECT_EQ(
        messages[3].rfind("{\"tag\": \"scan_stop\", \"identify\": \"scan-1\", \"image_key\": 2", 0),
        0u)
        << messages[3];
}

TEST(Acquisition, FailedOrUnansweredWaitingCloseRaises) {
    support::TempDir dir;
    support::ZeltConfig config(dir, support::free_port(), "", "linger_ms = 200");
    auto service = std::make_unique<support::ServiceProcess>(dir, config.path());
    hdf5 file = hdf5::open(dir / "m.h5");
    file.create_dataset_append({Map{{"datasetname", "x"}}});
    file.dataset_append_map({{"x", 1}});
    file.dataset_append_map({{"x", "one"}});
    file.dataset_append_map({{"y", 2}});
    try {
        file.close({{"block", true}});
        ADD_FAILURE() << "a close after failed requests did not raise";
    } catch (const brennic::ServiceError& error) {
        // The close is done, and says what failed before it, once.
        EXPECT_EQ(std::string(error.what()),
                  "close \"" + dir / "m.h5" +
                      "\": done, but 2 earlier requests for this file "
                      "failed; the first: dataset_append_map \"" +
                      dir / "m.h5" +
                      "\": dataset "
                      "\"x\": a text does not stack with the 1 numbers it holds");
    }
    EXPECT_EQ(support::H5Reader(dir / "m.h5").int64s("x"), std::vector<std::int64_t>{1});
    service->signal(SIGKILL);
    service->wait_exit();
    file.set_reply_timeout(500ms);
    EXPECT_THROW(file.close({{"block", true}}), brennic::ServiceError);
}

TEST(Acquisition, ASlotCarriesOneFrame) {
    support::TempDir dir;
    support::ZeltConfig config(dir, support::free_port(), "",
                               "linger_ms = 200\nlocal_socket = " + dir / "local.sock");
    auto service = std::make_unique<support::ServiceProcess>(dir, config.path());
    hdf5 file = hdf5::open(dir / "m.h5");
    file.create_dataset_append_split(List{List{"/entry/data", 2}});
    brennic::LocalSlot slot;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (true) {  // the service may still be starting
        try {
            slot = file.local_slot(8);
            break;
        } catch (const brennic::ServiceError&) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
            std::this_thread::sleep_for(50ms);
        }
    }
    std::memcpy(slot.data, "\x01\x00\x02\x00\x03\x00\x04\x00", 8);
    file.dataset_append_split_map({{"/entry/data", file.slot_array(slot, "<u2", {4})}});
    // Sent again, the frame would be whatever the slot holds when the service reads it.
    EXPECT_THROW(file.slot_array(slot, "<u2", {4}), brennic::ServiceError);
    file.close({{"block", true}});
    EXPECT_EQ(support::H5Reader(dir / "m.h5").uint16s("/entry/data/data_0000"),
              (std::vector<std::uint16_t>{1, 2, 3, 4}));
}

namespace {

// Waits until a service just started answers status, for at most 30 s.
void wait_until_serving() {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (true) {
        try {
            hdf5::status(2s);
            return;
        } catch (const brennic::ServiceError&) {
            if (std::chrono::steady_clock::now() > deadline) throw;
        }
    }
}

}  // namespace

TEST(Acquisition, FramesInHandOutliveARestartOfTheServiceOnTheSameHost) {
    support::TempDir dir;
    support::ZeltConfig config(dir, support::free_port(), "",
                               "linger_ms = 200\nlocal_socket = " + dir / "local.sock" +
                                   "\njournal_dir = " + dir / "journal");
    auto service = std::make_unique<support::ServiceProcess>(dir, config.path());
    wait_until_serving();
    EXPECT_THROW(hdf5::open(dir / "no/such/m.h5", {{"block", true}}), brennic::ServiceError);
    hdf5 file = hdf5::open(dir / "m.h5", {{"block", true}}, 30s);
    EXPECT_TRUE(file.has_local_path());  // attached at open
    file.create_dataset_append_split(List{List{"/entry/data", 2}});
    std::vector<std::uint16_t> frame(256 * 128);  // large enough for a slot
    auto send = [&](std::uint16_t value, Map kwargs = {}) {
        std::fill(frame.begin(), frame.end(), value);
        file.dataset_append_split_map({{"/entry/data", NdArray::view(frame, {128, 256})}}, kwargs);
    };
    send(1, {{"block", true}});  // carried out before the kill
    brennic::LocalSlot held = file.local_slot(frame.size() * 2);
    std::fill_n(reinterpret_cast<std::uint16_t*>(held.data), frame.size(), 7);
    service->signal(SIGKILL);
    service->wait_exit();
    send(2);  // through the socket, to whichever service comes next
    EXPECT_FALSE(file.has_local_path());
    service = std::make_unique<support::ServiceProcess>(dir, config.path(),
                                                        std::vector<std::string>{}, "second");
    wait_until_serving();
    // The slot filled for the service that went away goes inline; the next frame takes a
    // slot of the new service's ring.
    file.dataset_append_split_map({{"/entry/data", file.slot_array(held, "<u2", {128, 256})}});
    send(4);
    EXPECT_TRUE(file.has_local_path());
    file.close({{"block", true}});
    support::H5Reader master(dir / "m.h5");
    const auto first = master.uint16s("/entry/data/data_0000");
    const auto second = master.uint16s("/entry/data/data_0001");
    ASSERT_EQ(first.size(), 2 * frame.size());
    ASSERT_EQ(second.size(), 2 * frame.size());
    EXPECT_EQ(first[0], 1);
    EXPECT_EQ(first[frame.size()], 2);
    EXPECT_EQ(second[0], 7);
    EXPECT_EQ(second[frame.size()], 4);
}
