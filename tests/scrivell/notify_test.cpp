#include <gtest/gtest.h>

#include <scrivell/Scrivell.hpp>
#include <thread>

#include "backend.hpp"

using zelt::List;
using zelt::Map;
using zelt::NdArray;
using zelt::Value;

namespace {

std::string json(const Value& identify, const Value& ct_type,
                 const std::string& filepath = "/d/0000.h5") {
    return scrivell::notification_json("scan_run", identify, ct_type, filepath, "/entry/data/data");
}

}  // namespace

TEST(NotificationJson, ExactBytesOfBothTags) {
    EXPECT_EQ(json(Value(), Value()),
              "{\"tag\": \"scan_run\", \"identify\": null, \"image_key\": null, \"filepath\": "
              "\"/d/0000.h5\", \"datasetpath\": \"/entry/data/data\", \"beamtimeID\": \"\", "
              "\"index\": null}");
    EXPECT_EQ(scrivell::notification_json("scan_stop", "scan-42", 2, "/d/m.h5", "/entry/data"),
              "{\"tag\": \"scan_stop\", \"identify\": \"scan-42\", \"image_key\": 2, \"filepath\": "
              "\"/d/m.h5\", \"datasetpath\": \"/entry/data\", \"beamtimeID\": \"\", \"index\": "
              "null}");
}

TEST(NotificationJson, ValuesAreWrittenAsTheDownstreamReaderExpects) {
    struct Case {
        Value identify;
        const char* text;
    };
    const Case cases[] = {
        {12.5, "12.5"},
        {1e-05, "1e-05"},
        {0.0001, "0.0001"},
        {1e16, "1e+16"},
        {1e15, "1000000000000000.0"},
        {3.0, "3.0"},
        {-0.0, "-0.0"},
        {0.1, "0.1"},
        {123456789.125, "123456789.125"},
        {1.5e300, "1.5e+300"},
        {true, "true"},
        {false, "false"},
        {-7, "-7"},
        {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
        {List{1, "a", List{}}, "[1, \"a\", []]"},
        {Map{{"b", 1}, {"a", Map{}}}, "{\"b\": 1, \"a\": {}}"},
        {"tab\there \"q\" \\ \x01\x7f", "\"tab\\there \\\"q\\\" \\\\ \\u0001\\u007f\""},
        {"Ångström €", "\"\\u00c5ngstr\\u00f6m \\u20ac\""},
        {"𝄞", "\"\\ud834\\udd1e\""},
    };
    for (const Case& c : cases) {
        const std::string text = json(c.identify, Value());
        const std::string expected = std::string("\"identify\": ") + c.text + ", \"image_key\"";
        EXPECT_NE(text.find(expected), std::string::npos) << text << "\nwanted " << expected;
    }
    const std::string path = json(Value(), Value(), "/data/Messung_Ü/0000.h5");
    EXPECT_NE(path.find("\"/data/Messung_\\u00dc/0000.h5\""), std::string::npos);
    for (unsigned char c : path) EXPECT_LT(c, 0x80);
}

TEST(NotificationJson, ArrayHasNoJsonForm) {
    const std::uint8_t data[] = {1};
    EXPECT_THROW(json(NdArray::view(data, {1}), Value()), scrivell::NotifyError);
    std::string error;
    try {
        json(Value(), List{NdArray::view(data, {1})});
    } catch (const scrivell::NotifyError& failure) {
        error = failure.what();
    }
    EXPECT_NE(error.find("\"image_key\" has no JSON form"), std::string::npos) << error;
}

TEST(Notifications, OutboxKeepsOrderThroughAnOutageAndSwitchedOffSendsNothing) {
    support::MockKafka kafka;
    scrivell::Outbox outbox(vesk_to(kafka.bootstrap(), 500));
    outbox.post("\"first\"", "first");
    EXPECT_TRUE(outbox.wait_for(""));
    kafka.set_down(true);
    // Posting never waits for a broker; a close that waits for its own gives up after the
    // time-out, and the notifications stay owed, in order.
    outbox.post("\"second\"", "second");
    outbox.post("\"third\"", "third", "/x/m.h5", /*close_waits=*/true);
    EXPECT_FALSE(outbox.wait_for("/x/m.h5"));
    EXPECT_EQ(outbox.owed(), (std::vector<std::string>{"second", "third"}));
    EXPECT_TRUE(outbox.holds("/x/m.h5"));
    EXPECT_FALSE(outbox.holds("/x/other.h5"));
    EXPECT_NE(outbox.why_owed("third").find("queued behind 1 owed"), std::string::npos);
    kafka.set_down(false);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (outbox.size() > 0 && std::chrono::steady_clock::now() < deadline) {
        (void)outbox.wait_for("");
    }
    EXPECT_EQ(outbox.size(), 0u) << outbox.last_error();
    EXPECT_FALSE(outbox.holds("/x/m.h5"));
    EXPECT_EQ(kafka.messages(3),
              (std::vector<std::string>{"\"first\"", "\"second\"", "\"third\""}));

    scrivell::Outbox off(vesk_to("", 500));
    off.post("\"x\"", "x");
    EXPECT_EQ(off.size(), 0u);
}

TEST(Notifications, AMessageNoBrokerWillEverTakeIsDroppedAndHoldsNothing) {
    support::MockKafka kafka;
    scrivell::Outbox outbox(vesk_to(kafka.bootstrap(), 2000));
    // Larger than the broker's largest message: refused for good, not retried for ever.
    outbox.post("\"" + std::string(2 << 20, 'a') + "\"", "too large", "/x/m.h5");
    outbox.post("\"after\"", "after", "/x/m.h5", /*close_waits=*/true);
    EXPECT_TRUE(outbox.wait_for("/x/m.h5"));
    EXPECT_EQ(kafka.messages(1), std::vector<std::string>{"\"after\""});
    const auto dropped = outbox.take_dropped();
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0].first, "/x/m.h5");
    EXPECT_NE(dropped[0].second.find("notification too large was refused for good"),
              std::string::npos)
        << dropped[0].second;
}

TEST(NotificationJson, AnIdentifyCannotMakeAMessageOfMoreThan64KiB) {
    EXPECT_NO_THROW(json(std::string(60000, 'a'), Value()));
    std::string error;
    try {
        json(std::string(1 << 20, 'a'), Value());
    } catch (const scrivell::NotifyError& failure) {
        error = failure.what();
    }
    EXPECT_NE(error.find("more than 65536; send a smaller identify"), std::string::npos) << error;
}
