#include "records.hpp"

#include <scrivell/errors.hpp>
#include <string_view>
#include <zelt/overload.hpp>

#include "Journal.hpp"
#include "names.hpp"
#include "requests.hpp"
#include "text.hpp"

namespace scrivell {

namespace {

using zelt::Overload;
using namespace records;

zelt::List shape_list(const std::vector<std::uint64_t>& shape) {
    zelt::List out;
    for (const std::uint64_t dim : shape) out.emplace_back(static_cast<std::int64_t>(dim));
    return out;
}

// The fields of one stored record, each checked for its kind.
class Fields {
  public:
    Fields(const zelt::Map& map, std::string_view op) : map_(map), op_(op) {}

    const zelt::Value& any(const char* key) const {
        const zelt::Value* value = zelt::find(map_, key);
        if (!value) fail(key, "is missing");
        return *value;
    }
    std::string text(const char* key) const { return as<std::string>(key, "is not a text"); }
    std::int64_t integer(const char* key) const {
        return as<std::int64_t>(key, "is not an integer");
    }
    bool boolean(const char* key) const { return as<bool>(key, "is not true or false"); }
    zelt::Map map(const char* key) const { return as<zelt::Map>(key, "is not a map"); }
    std::vector<std::uint64_t> shape(const char* key) const {
        const zelt::List* list = any(key).as<zelt::List>();
        if (!list) fail(key, "is not a list");
        std::vector<std::uint64_t> shape;
        for (const zelt::Value& dim : *list) {
            const std::int64_t* n = dim.as<std::int64_t>();
            if (!n || *n < 0) fail(key, "holds a dimension that is no count");
            shape.push_back(static_cast<std::uint64_t>(*n));
        }
        return shape;
    }

  private:
    template <class T>
    const T& as(const char* key, const char* why) const {
        const T* value = any(key).as<T>();
        if (!value) fail(key, why);
        return *value;
    }
    [[noreturn]] void fail(const char* key, const char* why) const {
        throw Error("a journal record \"" + std::string(op_) + "\": \"" + key + "\" " + why);
    }

    const zelt::Map& map_;
    std::string_view op_;
};

}  // namespace

zelt::Map encode(const Record& record) {
    return std::visit(
        Overload{
            [](const MapWritten& r) -> zelt::Map {
                return {{"op", "map"}, {"recreate", r.recreate}, {"map", r.map}};
            },
            [](const AppendRegistered& r) -> zelt::Map {
                return {
                    {"op", "append_register"}, {"name", r.name}, {"description", r.description}};
            },
            [](const Appended& r) -> zelt::Map {
                return {{"op", "append"}, {"values", *r.values}};
            },
            [](const SplitRegistered& r) -> zelt::Map {
                zelt::Map out{
                    {"op", "split_register"}, {"name", r.name}, {"splitSize", r.splitSize}};
                if (!r.compression.none()) {
                    out.emplace_back("compression", r.compression.name());
                    out.emplace_back("compression_level", r.compression.level);
                }
                if (!r.stem.empty()) out.emplace_back("stem", r.stem);
                if (r.vds) out.emplace_back("vds", true);
                return out;
            },
            [](const BlockStarted& r) -> zelt::Map {
                return {{"op", "block"},
                        {"name", r.name},
                        {"index", r.index},
                        {"typestr", r.typestr},
                        {"shape", shape_list(r.shape)}};
            },
            [](const RowWritten& r) -> zelt::Map {
                return {{"op", "row"}, {"name", r.name}};
            },
            [](const BlockFull& r) -> zelt::Map {
                return {{"op", "block_full"}, {"name", r.name}, {"message", r.message}};
            },
            [](const BlockDone& r) -> zelt::Map {
                return {{"op", "block_done"},
                        {"name", r.name},
                        {"index", r.index},
                        {"stored_bytes", r.stored_bytes},
                        {"raw_bytes", r.raw_bytes}};
            },
            [](const SeqNoted& r) -> zelt::Map {
                return {{"op", "seq"}, {"client", r.client}, {"seq", r.seq}};
            },
            [](const RequestsMissing& r) -> zelt::Map {
                return {{"op", "missing"}, {"first", r.first}, {"last", r.last}};
            },
            [](const RequestFailed& r) -> zelt::Map {
                return {{"op", "failed"}, {"error", r.error}};
            },
        },
        record);
}

void add_to(JournalFile& journal, const Record& record) {
    // The most common record, its values journaled without another copy.
    if (const auto* appended = std::get_if<Appended>(&record)) {
        journal.add("append", "values", *appended->values);
        return;
    }
    journal.add(encode(record));
}

Record decode(const zelt::Value& stored) {
    const zelt::Map* map = stored.as<zelt::Map>();
    if (!map)
        throw Error("a journal record is a " + std::string(stored.kind_name()) + ", not a map");
    const std::string* op = zelt::find_or_null(*map, "op").as<std::string>();
    if (!op) throw Error("a journal record has no text \"op\"");
    const Fields f(*map, *op);
    if (*op == "map") return MapWritten{f.boolean("recreate"), f.map("map")};
    if (*op == "append_register") return AppendRegistered{f.text("name"), f.map("description")};
    if (*op == "append") {
        const zelt::Value& values = f.any("values");
        if (!values.as<zelt::Map>())
            throw Error("a journal record \"append\": \"values\" is not a map");
        return Appended{&values};
    }
    if (*op == "split_register") {
        Compression compression;
        if (zelt::find(*map, "compression")) {
            compression.codec = Compression::codec_named(f.text("compression"), "a journal record");
            compression.level = static_cast<int>(f.integer("compression_level"));
        }
        std::string stem = zelt::find(*map, "stem") ? f.text("stem") : std::string();
        // Sub-files are made under it: a stem that could name another place is refused.
        if (!stem.empty() && !is_sub_file_stem(stem)) {
            throw Error("a journal record \"split_register\": \"stem\" " + in_quotes(stem) +
                        " is no sub-file stem");
        }
        const zelt::Value* vds = zelt::find(*map, "vds");
        return SplitRegistered{f.text("name"), f.integer("splitSize"), compression,
                               std::move(stem), vds && zelt::is_true(*vds)};
    }
    if (*op == "block") {
        return BlockStarted{f.text("name"), f.integer("index"), f.text("typestr"),
                            f.shape("shape")};
    }
    if (*op == "row") return RowWritten{f.text("name")};
    if (*op == "block_full") return BlockFull{f.text("name"), f.text("message")};
    if (*op == "block_done") {
        // Journals of earlier versions have no byte counts.
        auto count = [&](const char* key) {
            return zelt::find(*map, key) ? static_cast<std::uint64_t>(f.integer(key)) : 0;
        };
        return BlockDone{f.text("name"), f.integer("index"), count("stored_bytes"),
                         count("raw_bytes")};
    }
    if (*op == "seq") return SeqNoted{f.text("client"), f.integer("seq")};
    if (*op == "missing") return RequestsMissing{f.integer("first"), f.integer("last")};
    if (*op == "failed") return RequestFailed{f.text("error")};
    throw Error("a journal record has the unknown \"op\" \"" + zelt::printable(*op, 64) + "\"");
}

}  // namespace scrivell
