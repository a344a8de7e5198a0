#include <gtest/gtest.h>

#include <scrivell/Scrivell.hpp>

#include "support.hpp"

using zelt::List;
using zelt::Map;
using zelt::NdArray;
using zelt::Value;

namespace {

std::string json(const Value& identify, const Value& ct_type, const std::string& filepath = "/d/0000.h5") {
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
    try {
        json(Value(), List{NdArray::view(data, {1})});
    } catch (const scrivell::NotifyError& error) {
        EXPECT_NE(std::string(error.what()).find("\"image_key\" has no JSON form"), std::string::npos);
    }
}

TEST(Notifications, EachIsDeliveredByAProducerOfItsOwn) {
    support::TempDir dir;
    support::MockKafka kafka;
    support::ZeltConfig config(dir, support::free_port(), kafka.bootstrap());
    scrivell::send2vesk("a", 1, "/x/0000.h5", "/entry/data/data");
    scrivell::send2vesk_stop(Value(), Value(), "/x/m.h5", "/entry/data");
    // Each call flushed before it returned: both are on the topic, in order.
    const auto messages = kafka.messages(2);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], scrivell::notification_json("scan_run", "a", 1, "/x/0000.h5",
                                                       "/entry/data/data"));
    EXPECT_EQ(messages[1], scrivell::notification_json("scan_stop", Value(), Value(), "/x/m.h5",
                                                       "/entry/data"));
}

TEST(Notifications, EmptyBrokerListSendsNothingAndFailsNothing) {
    support::TempDir dir;
    support::ZeltConfig config(dir, support::free_port(), "");
    const std::uint8_t data[] = {1};
    scrivell::send2vesk(NdArray::view(data, {1}), Value(), "/x/0000.h5", "/entry/data/data");
    scrivell::send2vesk_stop(Value(), Value(), "/x/m.h5", "/entry/data");
}
