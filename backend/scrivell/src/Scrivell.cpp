#include <scrivell/Scrivell.hpp>

#include <filesystem>

#include "h5/h5.hpp"
#include "map_datasets.hpp"
#include "say.hpp"
#include "write.hpp"

namespace scrivell {

MasterFileHandle::MasterFileHandle(MasterFileHandle&& other) noexcept
    : id_(std::exchange(other.id_, H5I_INVALID_HID)) {}

MasterFileHandle& MasterFileHandle::operator=(MasterFileHandle&& other) noexcept {
    if (this != &other) {
        h5::File dropped{std::exchange(id_, std::exchange(other.id_, H5I_INVALID_HID))};
    }
    return *this;
}

MasterFileHandle::~MasterFileHandle() { h5::File dropped{id_}; }

void MasterFileHandle::close() { h5::File{std::exchange(id_, H5I_INVALID_HID)}.close("master file"); }

namespace {

const zelt::Value& required(const zelt::Map& record, const char* key) {
    const zelt::Value* value = zelt::find(record, key);
    if (!value) throw Error(std::string("the request has no \"") + key + "\"");
    return *value;
}

template <class T>
const T& required_as(const zelt::Map& record, const char* key, const char* kind) {
    const T* value = required(record, key).as<T>();
    if (!value) {
        throw Error(std::string("\"") + key + "\" is not a " + kind);
    }
    return *value;
}

const std::string& filepath_of(const zelt::Map& record) {
    return required_as<std::string>(record, "filepath", "text");
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

[[noreturn]] void not_open(const std::string& filepath) {
    throw Error("file " + quoted(filepath) + " is not open");
}

// The directory a split dataset's sub-files go to, made comparable between master paths.
std::filesystem::path sub_file_directory(const std::string& filepath) {
    const std::string dirpath = dirpath_of(filepath);
    std::error_code ignored;
    auto canonical = std::filesystem::weakly_canonical(
        std::filesystem::absolute(dirpath.empty() ? "." : dirpath), ignored);
    return canonical.empty() ? std::filesystem::path(dirpath) : canonical;
}

// True when `size` is a block size: a number a buffer length can be compared with.
bool is_count(const zelt::Value& size) {
    return size.is<std::int64_t>() || size.is<std::uint64_t>() || size.is<double>();
}

// "A block is due when the buffer length is greater than or equal to splitSize."
bool block_due(std::size_t length, const zelt::Value& size) {
    if (const auto* n = size.as<std::int64_t>()) {
        return *n <= 0 || length >= static_cast<std::uint64_t>(*n);
    }
    if (const auto* u = size.as<std::uint64_t>()) return length >= *u;
    return static_cast<double>(length) >= *size.as<double>();
}

// A dataset name shares the file-table entry with "fp" and with the other kind of dataset:
// "fp" would lose the open file, a name of both kinds would lose one record.
void refuse_taken_name(const FileEntry& entry, const std::string& name, bool splitting,
                       const std::string& where) {
    if (name == "fp") throw Error(where + ": the name \"fp\" is reserved for the open file");
    const DatasetRecord* there = entry.datasets.find(name);
    if (!there) return;
    if (splitting && std::holds_alternative<zelt::Map>(*there)) {
        throw Error(where + ": " + quoted(name) + " is already an appendable dataset");
    }
    if (!splitting && std::holds_alternative<SplitRecord>(*there)) {
        throw Error(where + ": " + quoted(name) + " is already a split dataset");
    }
}

using Operation = void (Scrivell::*)(const zelt::Map&);
struct Dispatch {
    const char* type;
    Operation operation;
};
const Dispatch dispatch_table[] = {
    {"open", &Scrivell::open},
    {"create_dataset_map", &Scrivell::create_dataset_map},
    {"create_dataset_map_new", &Scrivell::create_dataset_map_new},
    {"create_dataset_append", &Scrivell::create_dataset_append},
    {"dataset_append_map", &Scrivell::dataset_append_map},
    {"create_dataset_append_split", &Scrivell::create_dataset_append_split},
    {"dataset_append_split_map", &Scrivell::dataset_append_split_map},
    {"close", &Scrivell::close},
    {"closeAll", &Scrivell::closeAll},
};

}  // namespace

Scrivell::Scrivell() {
    // Failures are reported once, by the error that carries the stack's message.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

void Scrivell::process(const zelt::Map& record) {
    const zelt::Value* type = zelt::find(record, "type");
    if (!type) throw Error("the request has no \"type\"");
    const std::string* name = type->as<std::string>();
    if (!name) throw Error(std::string("\"type\" is a ") + type->kind_name() + ", not a text");
    for (const Dispatch& entry : dispatch_table) {
        if (*name == entry.type) {
            (this->*entry.operation)(record);
            return;
        }
    }
    throw Error("\"type\" " + quoted(*name) + " names no operation");
}

FileEntry& Scrivell::entry_of(const std::string& filepath) {
    FileEntry* entry = files.find(filepath);
    if (!entry) not_open(filepath);
    return *entry;
}

void Scrivell::open(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    if (files.contains(filepath)) {
        say("file already opened:  " + filepath);
        return;
    }
    h5::Plist fapl{h5::check(H5Pcreate(H5P_FILE_ACCESS), "create", "file access list")};
    h5::check(H5Pset_libver_bounds(fapl.get(), /*low=*/H5F_LIBVER_LATEST,
                                   /*high=*/H5F_LIBVER_LATEST),
              "set", "library version bounds");
    hid id = H5I_INVALID_HID;
    if (std::filesystem::exists(filepath)) {
        id = h5::check(H5Fopen(filepath.c_str(), H5F_ACC_RDWR, fapl.get()), "open file", filepath);
    } else {
        id = h5::check(H5Fcreate(filepath.c_str(), H5F_ACC_EXCL, H5P_DEFAULT, fapl.get()),
                       "create file", filepath);
    }
    MasterFileHandle fp{id};
    files.insert_or_assign(filepath, FileEntry{std::move(fp), {}});
    files_nosplit.insert_or_assign(filepath, {});
    files_split.insert_or_assign(filepath, {});
}

void Scrivell::write_map(const zelt::Map& record, bool recreate_text) {
    const std::string& filepath = filepath_of(record);
    const zelt::Map& map = required_as<zelt::Map>(record, "map", "map");
    const OrderedMap<zelt::Value> flat = flatten(map);
    FileEntry& entry = entry_of(filepath);
    const zelt::Value empty_text("");
    for (const auto& [path, value] : flat) {
        const zelt::Value* leaf = &value;
        if (const auto* nested = value.as<zelt::Map>(); nested && nested->empty()) {
            leaf = &empty_text;
        }
        write_leaf(entry.fp.id(), path, *leaf, recreate_text, filepath);
    }
}

void Scrivell::create_dataset_map(const zelt::Map& record) { write_map(record, false); }

void Scrivell::create_dataset_map_new(const zelt::Map& record) { write_map(record, true); }

void Scrivell::create_dataset_append(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    const zelt::List& descriptions =
        required_as<zelt::List>(record, "dataset_info_list", "list");
    for (std::size_t i = 0; i < descriptions.size(); ++i) {
        const auto* description = descriptions[i].as<zelt::Map>();
        const std::string where = "description " + std::to_string(i);
        if (!description) throw Error(where + " is not a map");
        const zelt::Value* name_value = zelt::find(*description, "datasetname");
        const std::string* name = name_value ? name_value->as<std::string>() : nullptr;
        if (!name) throw Error(where + " has no text \"datasetname\"");
        FileEntry& entry = entry_of(filepath);
        refuse_taken_name(entry, *name, /*splitting=*/false, where);
        files_nosplit.find(filepath)->insert_or_assign(*name, Column());
        entry.datasets.insert_or_assign(*name, *description);
    }
}

void Scrivell::dataset_append_map(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    const zelt::Map& map = required_as<zelt::Map>(record, "map", "map");
    OrderedMap<Column>* buffers = nullptr;
    for (const auto& [name, value] : map) {
        if (!buffers) {
            buffers = files_nosplit.find(filepath);
            if (!buffers) not_open(filepath);
        }
        Column* column = buffers->find(name);
        if (!column) {
            throw Error("dataset " + quoted(name) + " is not registered for appending");
        }
        column->push(value);
    }
}

void Scrivell::create_dataset_append_split(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    const zelt::List& pairs = required_as<zelt::List>(record, "datainfolist", "list");
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const std::string where = "element " + std::to_string(i);
        const auto* pair = pairs[i].as<zelt::List>();
        if (!pair || pair->size() != 2) throw Error(where + " is not a pair [name, splitSize]");
        const std::string* dataname = (*pair)[0].as<std::string>();
        const zelt::Value& splitSize = (*pair)[1];
        if (!dataname) throw Error(where + ": the dataset name is not a text");
        if (!is_count(splitSize)) {
            throw Error(where + ": splitSize is a " + splitSize.kind_name() + ", not a count");
        }
        FileEntry& entry = entry_of(filepath);
        refuse_taken_name(entry, *dataname, /*splitting=*/true, where);
        // Sub-file names depend only on the block index: two live split datasets writing
        // into one directory would overwrite each other's blocks.
        const auto directory = sub_file_directory(filepath);
        for (const auto& [other_path, other_entry] : files) {
            for (const auto& [other_name, other_record] : other_entry.datasets) {
                if (!std::holds_alternative<SplitRecord>(other_record)) continue;
                if (other_path == filepath && other_name == *dataname) continue;
                if (sub_file_directory(other_path) != directory) continue;
                throw Error(where + ": split dataset " + quoted(*dataname) + " of " +
                            quoted(filepath) + " would write its sub-files into " +
                            quoted(directory.string()) + ", where split dataset " +
                            quoted(other_name) + " of " + quoted(other_path) +
                            " writes its own");
            }
        }
        entry.datasets.insert_or_assign(*dataname, SplitRecord{splitSize, 0});
        files_split.find(filepath)->insert_or_assign(*dataname, Column());
    }
}

void Scrivell::dataset_append_split_map(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    const zelt::Map& map = required_as<zelt::Map>(record, "map", "map");
    for (const auto& [k, v] : map) {
        FileEntry& entry = entry_of(filepath);
        Column* buffer = files_split.find(filepath)->find(k);
        DatasetRecord* found = entry.datasets.find(k);
        SplitRecord* split = found ? std::get_if<SplitRecord>(found) : nullptr;
        if (!buffer || !split) {
            throw Error("dataset " + quoted(k) + " is not registered as a split dataset");
        }
        buffer->push(v);
        if (block_due(buffer->size(), split->splitSize)) {
            writeSubDataFile(entry.fp.id(), filepath, k, split->splitFileIndex, *buffer, record);
            // Only a block that is written, linked and announced moves the index on.
            split->splitFileIndex += 1;
            buffer->clear();
        }
    }
}

void Scrivell::close(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    FileEntry* entry = files.find(filepath);
    if (!entry) {
        say("closed file not opened " + filepath);
        return;
    }
    const hid f = entry->fp.id();
    for (const auto& [k, v] : *files_nosplit.find(filepath)) {
        if (v.empty()) continue;
        const DatasetRecord* description = entry->datasets.find(k);
        const zelt::Value* batch =
            description && std::holds_alternative<zelt::Map>(*description)
                ? zelt::find(std::get<zelt::Map>(*description), "batch")
                : nullptr;
        write_column(f, k, v, batch && zelt::is_true(*batch), filepath);
    }
    for (const auto& [k, v] : *files_split.find(filepath)) {
        if (v.empty()) continue;
        const auto& split = std::get<SplitRecord>(*entry->datasets.find(k));
        writeSubDataFile(f, filepath, k, split.splitFileIndex, v, record);
    }
    entry->fp.close();
    try {
        send2vesk_stop(zelt::find_or_null(record, "identify"), zelt::find_or_null(record, "CTType"),
                       filepath, "/entry/data");
    } catch (const std::exception& error) {
        // The file is closed and complete: a lost stop notification does not undo that.
        say(std::string("send2vesk_stop error ") + error.what());
    }
    files.erase(filepath);
    files_nosplit.erase(filepath);
    files_split.erase(filepath);
}

void Scrivell::closeAll(const zelt::Map&) {
    for (const std::string& filepath : files.keys()) close(zelt::Map{{"filepath", filepath}});
}

}  // namespace scrivell
