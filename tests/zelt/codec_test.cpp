#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <zelt/codec.hpp>

using zelt::List;
using zelt::Map;
using zelt::NdArray;
using zelt::Value;

namespace {

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

}  // namespace

TEST(Codec, RecordBytesAreStandardMessagePackInKeyOrder) {
    const Value record = Map{{"type", "open"}, {"filepath", "a.h5"}, {"block", true}};
    EXPECT_EQ(hex(zelt::dumps(record)),
              "83 a4 74 79 70 65 a4 6f 70 65 6e a8 66 69 6c 65 70 61 74 68 a4 61 2e 68 35 a5 62 "
              "6c 6f 63 6b c3");
}

TEST(Codec, FloatsStayFloatsEvenWhenIntegral) {
    EXPECT_EQ(hex(zelt::dumps(3.0)), "cb 40 08 00 00 00 00 00 00");
    EXPECT_TRUE(zelt::loads(zelt::dumps(List{3.0, -0.0})).as<List>()->at(1).is<double>());
}

TEST(Codec, ArrayIsExtOneWithHeaderThenElements) {
    const std::uint16_t data[] = {1, 2};
    const Value array = NdArray::view(data, {2});
    // ext 8, length 11, type 1; header ["<u2", [2]]; then the four element bytes.
    EXPECT_EQ(hex(zelt::dumps(array)), "c7 0b 01 92 a3 3c 75 32 91 02 01 00 02 00");
}

TEST(Codec, APrecompressedFrameIsExtThreeWithItsCodecInTheHeader) {
    const char chunk[] = {9, 8, 7};
    const Value frame = NdArray::precompressed("<u2", {2}, "bslz4", chunk, 3, nullptr);
    // fixext 16, type 3; header ["<u2", [2], "bslz4"]; then the three chunk bytes.
    EXPECT_EQ(hex(zelt::dumps(frame)),
              "d8 03 93 a3 3c 75 32 91 02 a5 62 73 6c 7a 34 09 08 07");
    const std::string wire = zelt::dumps(frame);
    const Value back = zelt::loads(wire);
    ASSERT_TRUE(back.is<NdArray>());
    EXPECT_EQ(back.as<NdArray>()->codec(), "bslz4");
    EXPECT_EQ(back.as<NdArray>()->raw_bytes(), 4u);
    EXPECT_EQ(back, frame);
    // An unknown codec and a header without one are refused.
    for (const std::string& header :
         {bytes({0x93, 0xa3, '<', 'u', '2', 0x91, 0x02, 0xa3, 'z', 'i', 'p'}),
          bytes({0x92, 0xa3, '<', 'u', '2', 0x91, 0x02})}) {
        const std::string message =
            bytes({0xc7, static_cast<int>(header.size()), 0x03}) + header;
        EXPECT_THROW(zelt::loads(message), zelt::Error) << hex(message);
    }
}

TEST(Codec, EveryValueKindRoundTrips) {
    const double frame[] = {1.5, -2.0, 3.25, 4.0, 5.0, 6.0};
    const std::uint8_t big_endian[] = {0x3f, 0xf0, 0, 0, 0, 0, 0, 0};  // 1.0 as >f8
    const std::int32_t scalar = 7;
    const List values{
        Value(),
        true,
        false,
        0,
        -1,
        std::numeric_limits<std::int64_t>::min(),
        std::numeric_limits<std::int64_t>::max(),
        std::numeric_limits<std::uint64_t>::max(),
        1.5,
        -0.0,
        "",
        "Fe",
        "Ångström ✓ 𝄞",
        List{},
        List{1, "two", List{3.0}},
        Map{},
        Map{{"zeta", 1}, {"alpha", Map{{"b", 2}, {"a", 3}}}, {"mid", Value()}},
        NdArray::view(frame, {2, 3}),
        NdArray::view(&scalar, {}),
        NdArray::view("<u2", {0, 4}, nullptr),
        NdArray::view(">f8", {1}, big_endian),
        NdArray::view("|b1", {1}, "\x01"),
    };
    for (const Value& value : values) {
        const std::string encoded = zelt::dumps(value);
        EXPECT_EQ(encoded.size(), zelt::encoded_size(value));
        const Value decoded = zelt::loads(encoded);
        EXPECT_EQ(decoded, value) << zelt::to_text(value);
    }
    const Value decoded = zelt::loads(zelt::dumps(values[16]));
    const Map& map = *decoded.as<Map>();
    ASSERT_EQ(map.size(), 3u);
    EXPECT_EQ(map[0].first, "zeta");
    EXPECT_EQ(map[1].first, "alpha");
    EXPECT_EQ((*map[1].second.as<Map>())[0].first, "b");
    EXPECT_TRUE(decoded.as<Map>()->at(0).second.is<std::int64_t>());
    EXPECT_TRUE(zelt::loads(zelt::dumps(values[7])).is<std::uint64_t>());
}

TEST(Codec, ReceivedArrayReferencesTheMessageBytes) {
    const std::uint16_t frame[] = {10, 20, 30, 40};
    const std::string encoded = zelt::dumps(Map{{"frame", NdArray::view(frame, {2, 2})}});
    auto owner = std::make_shared<std::string>(encoded);
    const Value decoded = zelt::loads(owner->data(), owner->size(), owner);
    const NdArray& array = *decoded.as<Map>()->at(0).second.as<NdArray>();
    EXPECT_GE(array.data(), owner->data());
    EXPECT_LT(array.data(), owner->data() + owner->size());
    EXPECT_EQ(array.owner().get(), owner.get());
    EXPECT_EQ(std::memcmp(array.data(), frame, sizeof frame), 0);
}

TEST(Codec, Float32IsWidened) {
    const Value decoded = zelt::loads(bytes({0xca, 0x3f, 0xc0, 0x00, 0x00}));
    EXPECT_EQ(decoded, Value(1.5));
}

TEST(Codec, MalformedInputIsRefusedWithItsCause) {
    const std::string header = bytes({0x92, 0xa3, '<', 'u', '2', 0x91, 0x02});
    struct Case {
        const char* name;
        std::string payload;
        const char* cause;
    };
    const Case cases[] = {
        {"empty", "", "empty"},
        {"truncated", bytes({0x82, 0xa4, 't', 'y'}), "truncated"},
        {"trailing bytes", bytes({0x01, 0x00}), "trailing"},
        {"bin", bytes({0xc4, 0x01, 'a'}), "bin"},
        {"unknown ext type", bytes({0xd4, 0x04, 0x00}), "ext type 4"},
        {"slot reference without a ring", bytes({0xd4, 0x02, 0x00}), "shared-memory slot"},
        {"invalid UTF-8", bytes({0xa2, 0xc3, 0x28}), "UTF-8"},
        {"overlong UTF-8", bytes({0xa2, 0xc0, 0x80}), "UTF-8"},
        {"non-text key", bytes({0x81, 0x01, 0x02}), "key"},
        {"container key", bytes({0x81, 0x90, 0x02}), "key"},
        {"array data too short", bytes({0xc7, 10, 1}) + header + bytes({1, 0, 2}), "needs 4"},
        {"array data too long", bytes({0xc7, 12, 1}) + header + bytes({1, 0, 2, 0, 3}), "needs 4"},
        {"unknown type string",
         bytes({0xc7, 11, 1, 0x92, 0xa3, '<', 'c', '8', 0x91, 0x01}) + std::string(8, '\0'),
         "type string"},
        {"header not a pair", bytes({0xd4, 0x01, 0xc0}), "header"},
        {"negative dimension", bytes({0xc7, 7, 1, 0x92, 0xa3, '<', 'u', '2', 0x91, 0xff}), "shape"},
        {"absurd nesting", std::string(1000, '\x91') + bytes({0xc0}), "nesting"},
        {"ext headers nested in each other",
         [] {
             // Each payload's header is the next ext: a fresh decoder per payload must still
             // count the depth of the whole message.
             constexpr std::uint32_t layers = 20000;
             std::string nested;
             for (std::uint32_t i = 0; i < layers; ++i) {
                 const std::uint32_t n = 1 + 6 * (layers - 1 - i);  // this ext's payload
                 nested +=
                     bytes({0xc9, static_cast<int>(n >> 24), static_cast<int>((n >> 16) & 0xff),
                            static_cast<int>((n >> 8) & 0xff), static_cast<int>(n & 0xff), 0x01});
             }
             nested += bytes({0xc0});
             return nested;
         }(),
         "nesting"},
        {"forged huge list", bytes({0xdd, 0xff, 0xff, 0xff, 0xff, 0xc0}), "truncated"},
        {"forged huge map", bytes({0xdf, 0xff, 0xff, 0xff, 0xff}), "truncated"},
        {"forged huge lists nested",
         [] {
             std::string nested;
             for (int i = 0; i < 60; ++i) nested += bytes({0xdd, 0xff, 0xff, 0xff, 0xff});
             return nested + std::string(1 << 16, '\xc0');
         }(),
         "truncated"},
        {"forged huge text", bytes({0xdb, 0xff, 0xff, 0xff, 0xff, 'a'}), "truncated"},
        {"reserved byte", bytes({0xc1}), "malformed"},
        {"duplicate key", bytes({0x82, 0xa1, 'a', 0x01, 0xa1, 'a', 0x02}), "key \"a\" twice"},
        {"duplicate key nested",
         bytes({0x81, 0xa1, 'm', 0x83, 0xa1, 'b', 0x01, 0xa1, 'c', 0x01, 0xa1, 'b', 0x02}),
         "key \"b\" twice"},
    };
    for (const Case& c : cases) {
        try {
            zelt::loads(c.payload);
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const zelt::Error& error) {
            EXPECT_NE(std::string(error.what()).find(c.cause), std::string::npos)
                << c.name << ": " << error.what();
        }
    }
}

TEST(Codec, TruthOfBlockValues) {
    for (const Value& value :
         {Value(true), Value(1), Value(-2.5), Value("x"), Value(List{0}), Value(Map{{"a", 1}})}) {
        EXPECT_TRUE(zelt::is_true(value)) << zelt::to_text(value);
    }
    for (const Value& value :
         {Value(), Value(false), Value(0), Value(0.0), Value(""), Value(List{}), Value(Map{})}) {
        EXPECT_FALSE(zelt::is_true(value)) << zelt::to_text(value);
    }
}

TEST(Codec, LogTextShowsArraysByTypeAndShapeOnly) {
    const std::uint16_t frame[4] = {0x4141, 0x4141, 0x4141, 0x4141};
    const std::string text =
        zelt::to_text(Map{{"map", Map{{"/entry/data", NdArray::view(frame, {2, 2})}}}});
    EXPECT_EQ(text, "{\"map\": {\"/entry/data\": <u2 [2, 2]}}");
}

TEST(Codec, LogTextRendersNumbersExactlyAsTheNotificationsDo) {
    EXPECT_EQ(zelt::to_text(Map{{"energy", 295.0}, {"step", 0.1}, {"n", 295}, {"tiny", 1e-5}}),
              "{\"energy\": 295.0, \"step\": 0.1, \"n\": 295, \"tiny\": 1e-05}");
}

TEST(Codec, SlotReferenceIsExtTwoAndResolvedOnlyByARing) {
    const std::uint16_t frame[2] = {1, 2};
    const NdArray in_slot = NdArray::view(frame, {2}).with_slot({"ab", 3});
    // ext 8 (0xc7), 12 bytes, type 2, then ["<u2", [2], "ab", 3, 4]
    EXPECT_EQ(zelt::dumps(in_slot), bytes({0xc7, 12, 0x02, 0x95, 0xa3, '<', 'u', '2', 0x91, 0x02,
                                           0xa2, 'a', 'b', 0x03, 0x04}));
    const std::string wire = zelt::dumps(Map{{"map", in_slot}});
    std::vector<std::string> seen;
    const zelt::SlotResolver resolver =
        [&](const std::string& typestr, std::vector<std::uint64_t> shape, const std::string& token,
            std::uint64_t slot, std::uint64_t nbytes) {
            seen.push_back(typestr + " " + token + " " + std::to_string(slot) + " " +
                           std::to_string(nbytes) + " " + std::to_string(shape.at(0)));
            return NdArray::view(frame, {2});
        };
    const Value decoded = zelt::loads(wire.data(), wire.size(), nullptr, &resolver);
    EXPECT_EQ(seen, std::vector<std::string>{"<u2 ab 3 4 2"});
    EXPECT_EQ(*zelt::find(*decoded.as<Map>(), "map"), Value(NdArray::view(frame, {2})));
    EXPECT_THROW(zelt::loads(wire), zelt::Error);  // no ring on this connection
}
