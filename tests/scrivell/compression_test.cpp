#include <scrivell/Compression.hpp>

#include <hdf5.h>

#include <filesystem>
#include <random>

#include "backend.hpp"

using support::H5Reader;

namespace {

// Detector-like frames: Poisson counts of mean 1.5, each stamped with its index.
std::vector<std::uint16_t> frame(std::uint16_t index, std::size_t pixels = 64 * 48) {
    std::mt19937 random(index);
    std::poisson_distribution<int> counts(1.5);
    std::vector<std::uint16_t> out(pixels);
    for (auto& pixel : out) pixel = static_cast<std::uint16_t>(counts(random));
    out[0] = index;
    return out;
}

// The filter of a dataset and its parameters.
std::pair<unsigned, std::vector<unsigned>> filter_of(const std::string& file,
                                                     const std::string& dataset) {
    const hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    const hid_t d = H5Dopen2(f, dataset.c_str(), H5P_DEFAULT);
    const hid_t dcpl = H5Dget_create_plist(d);
    std::vector<unsigned> values(16);
    std::size_t count = values.size();
    unsigned flags = 0;
    const H5Z_filter_t id =
        H5Pget_nfilters(dcpl) == 1
            ? H5Pget_filter2(dcpl, 0, &flags, &count, values.data(), 0, nullptr, nullptr)
            : -1;
    values.resize(count);
    H5Pclose(dcpl);
    H5Dclose(d);
    H5Fclose(f);
    return {static_cast<unsigned>(id), values};
}

// What a dataset's data take in its file.
std::uint64_t stored_bytes(const std::string& file, const std::string& dataset) {
    const hid_t f = H5Fopen(file.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    const hid_t d = H5Dopen2(f, dataset.c_str(), H5P_DEFAULT);
    const std::uint64_t bytes = H5Dget_storage_size(d);
    H5Dclose(d);
    H5Fclose(f);
    return bytes;
}

}  // namespace

class Compressed : public Backend {
  protected:
    void declare(Value options) {
        run({{"type", "create_dataset_append_split"},
             {"filepath", path()},
             {"datainfolist", List{List{"/entry/data", 3, std::move(options)}}}});
    }
    void append(std::uint16_t index) {
        frames_.push_back(frame(index));
        run({{"type", "dataset_append_split_map"},
             {"filepath", path()},
             {"map", Map{{"/entry/data", NdArray::view(frames_.back(), {48, 64})}}}});
    }
    std::vector<std::uint16_t> sent(std::size_t first, std::size_t count) const {
        std::vector<std::uint16_t> out;
        for (std::size_t i = first; i < first + count; ++i) {
            out.insert(out.end(), frames_[i].begin(), frames_[i].end());
        }
        return out;
    }
    std::deque<std::vector<std::uint16_t>> frames_;
};

TEST_F(Compressed, EachCodecsFramesReadBackBitExactWithTheirFilterInTheFile) {
    struct Case {
        const char* codec;
        unsigned filter;
        std::vector<unsigned> parameters;  // as the file stores them after HDF5's set_local
    };
    const std::uint64_t chunk = 64 * 48 * 2;
    for (const Case& c :
         {Case{"bslz4", 32008, {0, 3, 2, 0, 2}},
          Case{"blosc-lz4", 32001, {2, 2, 2, static_cast<unsigned>(chunk), 5, 2, 1}},
          Case{"blosc-zstd", 32001, {2, 2, 2, static_cast<unsigned>(chunk), 5, 2, 5}}}) {
        SCOPED_TRACE(c.codec);
        support::TempDir scan;
        const std::string file = scan / "m.h5";
        open(file);
        run({{"type", "create_dataset_append_split"},
             {"filepath", file},
             {"datainfolist", List{List{"/entry/data", 3, Map{{"compression", c.codec}}}}}});
        frames_.clear();
        for (std::uint16_t i = 0; i < 4; ++i) {
            frames_.push_back(frame(i));
            run({{"type", "dataset_append_split_map"},
                 {"filepath", file},
                 {"map", Map{{"/entry/data", NdArray::view(frames_.back(), {48, 64})}}}});
        }
        const Map status = scrivell.status();
        EXPECT_NE(zelt::to_text(Value(status)).find("\"compression\": \"" + std::string(c.codec)),
                  std::string::npos);
        close(file);
        // A full block of 3, and the last block cut to its one row.
        EXPECT_EQ(H5Reader(scan / "0000.h5").uint16s("/entry/data/data"), sent(0, 3));
        EXPECT_EQ(H5Reader(scan / "0001.h5").uint16s("/entry/data/data"), sent(3, 1));
        EXPECT_EQ(H5Reader(file).uint16s("/entry/data/data_0001"), sent(3, 1));
        const auto [filter, parameters] = filter_of(scan / "0000.h5", "/entry/data/data");
        EXPECT_EQ(filter, c.filter);
        EXPECT_EQ(parameters, c.parameters);
        // Compressed, not stored as they are.
        EXPECT_LT(stored_bytes(scan / "0000.h5", "/entry/data/data"), 3 * chunk / 2);
    }
}

TEST_F(Compressed, UnknownOptionsAreRefusedNamingTheChoices) {
    for (const auto& [options, expected] : std::vector<std::pair<Value, std::string>>{
             {Map{{"compression", "gzip"}},
              "compression \"gzip\" is none of \"none\", \"bslz4\", \"blosc-lz4\" or "
              "\"blosc-zstd\""},
             {Map{{"compresion", "bslz4"}}, "unknown option \"compresion\""},
             {Map{{"compression", 1}}, "\"compression\" is not a text"},
             {Map{{"compression", "blosc-lz4"}, {"compression_level", 12}},
              "\"compression_level\" 12 is not a whole number from 0 to 9"},
             {List{}, "the third element, the options, is not a map"},
         }) {
        try {
            declare(options);
            ADD_FAILURE() << zelt::to_text(options) << " was taken";
        } catch (const scrivell::Error& error) {
            EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
        }
    }
    // Nothing was registered by a refused item; a two-element item is as it always was.
    EXPECT_TRUE(of_file(scrivell, path(), "split").empty());
    declare(Map{{"compression", "none"}});
    append(1);
    close(path());
    EXPECT_EQ(filter_of(path("0000.h5"), "/entry/data/data").first, static_cast<unsigned>(-1));
}

TEST(Bslz4Chunk, MalformedChunksAreToldApart) {
    const std::vector<std::uint16_t> raw = frame(7);
    const std::uint64_t bytes = raw.size() * 2;
    const scrivell::Compression bslz4{scrivell::Compression::Codec::Bslz4, 5};
    const std::vector<char> chunk =
        bslz4.compress(reinterpret_cast<const char*>(raw.data()), bytes, 2);
    EXPECT_EQ(scrivell::why_not_bslz4_chunk(chunk.data(), chunk.size(), bytes, 2, true), "");
    EXPECT_NE(scrivell::why_not_bslz4_chunk(chunk.data(), chunk.size(), bytes + 2, 2, false), "");
    EXPECT_NE(scrivell::why_not_bslz4_chunk(chunk.data(), chunk.size() - 1, bytes, 2, false), "");
    EXPECT_NE(scrivell::why_not_bslz4_chunk(chunk.data(), 8, bytes, 2, false), "");
    std::vector<char> long_block = chunk;
    long_block[12] = 0x7f;  // the first block's length, far past the end
    EXPECT_NE(scrivell::why_not_bslz4_chunk(long_block.data(), long_block.size(), bytes, 2, false),
              "");
}

TEST_F(Compressed, FramesTheClientCompressedArePassedThroughAndMixWithRawOnes) {
    declare(Map{{"compression", "bslz4"}});
    const scrivell::Compression bslz4{scrivell::Compression::Codec::Bslz4, 5};
    std::deque<std::vector<char>> chunks;
    auto append_compressed = [&](std::uint16_t index, std::vector<char> chunk) {
        frames_.push_back(frame(index));
        chunks.push_back(std::move(chunk));
        run({{"type", "dataset_append_split_map"},
             {"filepath", path()},
             {"map", Map{{"/entry/data",
                          NdArray::precompressed("<u2", {48, 64}, "bslz4", chunks.back().data(),
                                                 chunks.back().size(), nullptr)}}}});
    };
    auto compressed = [&](std::uint16_t index) {
        const std::vector<std::uint16_t> raw = frame(index);
        return bslz4.compress(reinterpret_cast<const char*>(raw.data()), raw.size() * 2, 2);
    };
    append_compressed(0, compressed(0));
    append(1);  // compressed by the service, between two that came compressed
    // Malformed chunks are refused at their append, and the next frame takes the row.
    std::vector<char> wrong_size = compressed(2);
    wrong_size[7] = static_cast<char>(wrong_size[7] + 2);  // the header's byte count
    std::vector<char> truncated = compressed(2);
    truncated.resize(truncated.size() - 5);
    std::vector<char> past_end = compressed(2);
    past_end[12] = 0x7f;  // the first block's length
    for (auto* bad : {&wrong_size, &truncated, &past_end}) {
        EXPECT_THROW(append_compressed(99, *bad), scrivell::Error);
        frames_.pop_back();
    }
    append_compressed(2, compressed(2));
    append(3);
    close(path());
    EXPECT_EQ(H5Reader(path("0000.h5")).uint16s("/entry/data/data"), sent(0, 3));
    EXPECT_EQ(H5Reader(path("0001.h5")).uint16s("/entry/data/data"), sent(3, 1));
}

TEST_F(Compressed, AFrameTheClientCompressedGoesOnlyWhereBslz4IsRegistered) {
    const scrivell::Compression bslz4{scrivell::Compression::Codec::Bslz4, 5};
    const std::vector<std::uint16_t> raw = frame(1);
    const std::vector<char> chunk =
        bslz4.compress(reinterpret_cast<const char*>(raw.data()), raw.size() * 2, 2);
    const Value item =
        NdArray::precompressed("<u2", {48, 64}, "bslz4", chunk.data(), chunk.size(), nullptr);
    declare(Map{{"compression", "blosc-lz4"}});
    try {
        run({{"type", "dataset_append_split_map"},
             {"filepath", path()},
             {"map", Map{{"/entry/data", item}}}});
        ADD_FAILURE() << "a bslz4 frame went into a blosc-lz4 block";
    } catch (const scrivell::Error& error) {
        EXPECT_NE(std::string(error.what()).find("registered with {\"compression\": \"bslz4\"}"),
                  std::string::npos)
            << error.what();
    }
    run({{"type", "create_dataset_append"},
         {"filepath", path()},
         {"dataset_info_list", List{Map{{"datasetname", "column"}}}}});
    EXPECT_THROW(
        run({{"type", "dataset_append_map"}, {"filepath", path()}, {"map", Map{{"column", item}}}}),
        scrivell::Error);
    EXPECT_THROW(
        run({{"type", "create_dataset_map"}, {"filepath", path()}, {"map", Map{{"frame", item}}}}),
        scrivell::Error);
}

TEST(CompressionPool, RowsWaitingForAWorkerStayWithinAQuarterOfTheMemoryLimitOverAllFiles) {
    support::TempDir dir;
    scrivell::Settings settings;
    settings.limits.memory_limit_bytes = 32ull << 20;  // rows may wait for 8 MiB at most
    settings.compression_threads = 1;
    scrivell::Scrivell scrivell(settings);
    // Two scans at once: the rows waiting for either count against one bound.
    std::vector<std::string> masters;
    for (const char* scan : {"a", "b"}) {
        std::filesystem::create_directory(dir / scan);
        masters.push_back(dir / scan + "/m.h5");
        scrivell.process({{"type", "open"}, {"filepath", masters.back()}});
        scrivell.process({{"type", "create_dataset_append_split"},
                          {"filepath", masters.back()},
                          {"datainfolist", List{List{"/entry/data", 20,
                                                     Map{{"compression", "blosc-zstd"},
                                                         {"compression_level", 9}}}}}});
    }
    // Frames of 1 MiB, sent faster than one worker compresses them at Zstd's level 9.
    std::deque<std::vector<std::uint16_t>> frames;
    double most_held = 0;
    for (std::uint16_t i = 0; i < 60; ++i) {
        frames.push_back(frame(i / 2, 512 * 1024));
        scrivell.process(
            {{"type", "dataset_append_split_map"},
             {"filepath", masters[i % 2]},
             {"map", Map{{"/entry/data", NdArray::view(frames.back(), {512, 1024})}}}});
        const Map status = scrivell.status();
        most_held = std::max(most_held, *zelt::find(status, "held_mib")->as<double>());
    }
    EXPECT_LE(most_held, 8.0 + 1.0);
    // The rows written (the finished block's and those of the block being filled),
    // compressed, against their bytes as they came.
    const Map status = scrivell.status();
    const Value& split = *zelt::find(
        *zelt::find(*zelt::find(status, "files")->as<Map>(), masters[0])->as<Map>(), "split");
    const Map& data = *zelt::find(*split.as<Map>(), "/entry/data")->as<Map>();
    const std::int64_t raw = *zelt::find(data, "raw_bytes")->as<std::int64_t>();
    const std::int64_t rows = 20 + *zelt::find(data, "rows")->as<std::int64_t>();
    EXPECT_EQ(raw, rows * (1 << 20));
    const std::int64_t written = *zelt::find(data, "bytes_written")->as<std::int64_t>();
    EXPECT_GT(written, 0);
    EXPECT_LT(written, raw / 2);
    scrivell.process({{"type", "closeAll"}});
    for (const char* scan : {"a", "b"}) {
        const std::vector<std::uint16_t> last =
            H5Reader(dir / scan + "/0001.h5").uint16s("/entry/data/data");
        ASSERT_EQ(last.size(), 10u * 512 * 1024);
        for (std::size_t row = 0; row < 10; ++row) EXPECT_EQ(last[row * 512 * 1024], 20 + row);
    }
}

TEST_F(Compressed, AnItemNoChunkOfTheCodecHoldsIsRefusedBeforeAnythingIsWritten) {
    declare(Map{{"compression", "blosc-lz4"}});
    // Only its size is looked at: the refusal comes before any byte is read.
    const std::uint8_t byte = 0;
    try {
        run({{"type", "dataset_append_split_map"},
             {"filepath", path()},
             {"map", Map{{"/entry/data", NdArray::view("|u1", {3ull << 30}, &byte)}}}});
        ADD_FAILURE() << "a 3 GiB row was taken into a Blosc block";
    } catch (const scrivell::Error& error) {
        EXPECT_NE(std::string(error.what()).find("is more than one blosc-lz4 chunk holds"),
                  std::string::npos)
            << error.what();
    }
    EXPECT_FALSE(std::filesystem::exists(path(".0000.h5.part")));
}

TEST_F(Compressed, ACompressedRowTheFullDiskRefusesIsReportedAndTheNextFrameTakesItsRow) {
    declare(Map{{"compression", "bslz4"}});
    append(0);
    scrivell.write_journals();  // row 0 is in its file
    const std::string hidden = path(".0000.h5.part");
    {
        // The file may not grow: the next row's chunk fails as on a full disk.
        const support::FileSizeLimit limit(std::filesystem::file_size(hidden));
        append(1);  // taken: a worker compresses it
        scrivell.write_journals();
    }
    EXPECT_TRUE(scrivell.has_unreported_failures(path()));
    const std::string report = scrivell.take_failure_report(path());
    EXPECT_TRUE(Contains(report, "1 earlier request for this file failed")) << report;
    EXPECT_TRUE(Contains(report, "a row was not written")) << report;
    append(2);
    append(3);
    close(path());
    std::vector<std::uint16_t> want = sent(0, 1);
    for (std::size_t i : {2, 3}) want.insert(want.end(), frames_[i].begin(), frames_[i].end());
    EXPECT_EQ(H5Reader(path("0000.h5")).uint16s("/entry/data/data"), want);
}

TEST(EmptyFrames, AreWrittenAsBlocksOfNoElementsWhateverTheCodec) {
    // An empty region of interest or a module switched off: frames of no elements.
    const scrivell::Compression bslz4{scrivell::Compression::Codec::Bslz4, 5};
    const std::vector<char> empty_chunk = bslz4.compress(nullptr, 0, 2);
    for (const char* codec : {"none", "bslz4", "blosc-lz4", "blosc-zstd"}) {
        for (const std::vector<std::uint64_t>& shape :
             {std::vector<std::uint64_t>{0}, std::vector<std::uint64_t>{2, 0}}) {
            SCOPED_TRACE(std::string(codec) + " " + std::to_string(shape.size()));
            support::TempDir dir;
            scrivell::Scrivell scrivell{scrivell::Settings{}};
            const std::string master = dir / "m.h5";
            scrivell.process({{"type", "open"}, {"filepath", master}});
            scrivell.process(
                {{"type", "create_dataset_append_split"},
                 {"filepath", master},
                 {"datainfolist", List{List{"/entry/data", 2, Map{{"compression", codec}}}}}});
            const std::uint16_t none = 0;
            for (int i = 0; i < 3; ++i) {
                Value item = NdArray::view("<u2", shape, &none);
                if (i == 1 && std::string(codec) == "bslz4") {
                    item = NdArray::precompressed("<u2", shape, "bslz4", empty_chunk.data(),
                                                  empty_chunk.size(), nullptr);
                }
                scrivell.process({{"type", "dataset_append_split_map"},
                                  {"filepath", master},
                                  {"map", Map{{"/entry/data", item}}}});
            }
            scrivell.process({{"type", "close"}, {"filepath", master}});
            std::vector<hsize_t> full{2}, last{1};
            full.insert(full.end(), shape.begin(), shape.end());
            last.insert(last.end(), shape.begin(), shape.end());
            EXPECT_EQ(H5Reader(dir / "0000.h5").shape("/entry/data/data"), full);
            EXPECT_EQ(H5Reader(dir / "0001.h5").shape("/entry/data/data"), last);
            EXPECT_EQ(H5Reader(master).shape("/entry/data/data_0001"), last);
        }
    }
}

TEST(Bslz4Chunk, VerificationDecodesOnlyWithinTheChunkAndTheFrame) {
    // One block whose LZ4 sequence claims about 256 MiB of literals in a chunk of 1 MiB: a
    // decoder that trusts its input reads far past both.
    const std::uint64_t raw_bytes = 8192 * 2;
    std::vector<char> chunk(12 + 4 + (1 << 20), static_cast<char>(0xff));
    for (int i = 0; i < 8; ++i) chunk[i] = static_cast<char>((raw_bytes >> (8 * (7 - i))) & 0xff);
    const std::uint32_t block_bytes = 8192 * 2;
    for (int i = 0; i < 4; ++i) chunk[8 + i] = static_cast<char>((block_bytes >> (8 * (3 - i))));
    const std::uint32_t length = 1 << 20;
    for (int i = 0; i < 4; ++i) chunk[12 + i] = static_cast<char>((length >> (8 * (3 - i))));
    chunk[16] = static_cast<char>(0xf0);  // 15+ literals, the rest of the length in 0xff bytes
    EXPECT_EQ(scrivell::why_not_bslz4_chunk(chunk.data(), chunk.size(), raw_bytes, 2, false), "");
    EXPECT_TRUE(
        Contains(scrivell::why_not_bslz4_chunk(chunk.data(), chunk.size(), raw_bytes, 2, true),
                 "block 0 does not decode"));
    // A sound chunk of several blocks and a tail decodes to exactly its bytes.
    const std::vector<std::uint16_t> raw = frame(3, 3 * 4096 + 5);
    const scrivell::Compression bslz4{scrivell::Compression::Codec::Bslz4, 5};
    const std::vector<char> good =
        bslz4.compress(reinterpret_cast<const char*>(raw.data()), raw.size() * 2, 2);
    EXPECT_EQ(scrivell::why_not_bslz4_chunk(good.data(), good.size(), raw.size() * 2, 2, true), "");
}
