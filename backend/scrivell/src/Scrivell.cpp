#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string_view>
#include <unordered_set>
#include <scrivell/Scrivell.hpp>
#include <zelt/storageParser.hpp>

#include "file_state.hpp"
#include "h5/h5.hpp"
#include "map_datasets.hpp"
#include "master_file.hpp"
#include "say.hpp"
#include "split_files.hpp"
#include "text.hpp"
#include "write.hpp"

namespace scrivell {

MasterFileHandle::MasterFileHandle(MasterFileHandle&& other) noexcept
    : id_(std::exchange(other.id_, H5I_INVALID_HID)), lost_(std::move(other.lost_)) {}

MasterFileHandle& MasterFileHandle::operator=(MasterFileHandle&& other) noexcept {
    if (this != &other) {
        h5::File dropped{std::exchange(id_, std::exchange(other.id_, H5I_INVALID_HID))};
        lost_ = std::move(other.lost_);
    }
    return *this;
}

MasterFileHandle::~MasterFileHandle() {
    // A file HDF5 can no longer write is left alone: closing it walks a broken cache.
    if (!lost_.empty()) return;
    h5::File dropped{id_};
}

void MasterFileHandle::flush(const std::string& filepath) {
    if (!lost_.empty()) throw H5Error("flush " + in_quotes(filepath) + ": " + lost_);
    if (id_ < 0 || H5Fflush(id_, H5F_SCOPE_LOCAL) >= 0) return;
    // HDF5 1.10 cannot flush a file's metadata cache again after a failed flush ("slist
    // already enabled?"): the file cannot be completed from here on, and every later flush or
    // close says so rather than pretend.
    lost_ =
        "writing the file's metadata failed, and HDF5 cannot write it again: " + h5::stack_reason();
    throw H5Error("flush " + in_quotes(filepath) + ": " + lost_);
}

void MasterFileHandle::close() {
    if (id_ < 0) return;
    // Everything goes to disk first, while the file stays open: a failed H5Fclose leaves
    // HDF5's file half torn down.
    flush("master file");
    if (H5Fclose(id_) >= 0) {
        id_ = H5I_INVALID_HID;
        return;
    }
    const std::string reason = h5::stack_reason();
    // HDF5 may drop the identifier of a file whose close failed: nothing can complete it then,
    // and every later close must fail rather than report the file complete.
    if (H5Iis_valid(id_) <= 0) {
        id_ = H5I_INVALID_HID;
        lost_ = "closing it failed and HDF5 released it: " + reason;
    }
    throw H5Error("close master file: " + reason);
}

void MasterFileHandle::flush_after_failure() noexcept {
    if (!lost_.empty() || id_ < 0) return;
    if (H5Fflush(id_, H5F_SCOPE_LOCAL) < 0) {
        lost_ = "writing the file's metadata failed, and HDF5 cannot write it again: " +
                h5::stack_reason();
    }
}

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
    const std::string& filepath = required_as<std::string>(record, "filepath", "text");
    // The C calls underneath would take the path up to its first NUL: another file.
    if (filepath.find('\0') != std::string::npos) {
        throw Error("\"filepath\" holds a NUL character");
    }
    return filepath;
}

// True when the file name of `path` is a sub-file's name, "%04d.h5" of some index.
bool named_like_a_sub_file(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() < 7 || name.compare(name.size() - 3, 3, ".h5") != 0) return false;
    const std::string digits = name.substr(0, name.size() - 3);
    return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The path with "..", symbolic links and a relative start resolved, as far as it exists.
std::string resolved_path(const std::string& path) {
    std::error_code ignored;
    const auto resolved =
        std::filesystem::weakly_canonical(std::filesystem::absolute(path), ignored);
    return (resolved.empty() ? std::filesystem::path(path) : resolved).lexically_normal().string();
}

std::string mib_text(std::uint64_t bytes) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", static_cast<double>(bytes) / (1 << 20));
    return buffer;
}

[[noreturn]] void not_open(const std::string& filepath) {
    throw Error("file " + in_quotes(filepath) + " is not open");
}

// Blocks are renamed into their directory under "%04d.h5": a master file of that name in a
// directory where another open file writes blocks would be replaced by one. Whichever came
// first wins; the later open or registration is refused.
void refuse_master_among_blocks(const OrderedMap<FileEntry>& files, const Directory& dir,
                                const std::string& filepath) {
    if (!named_like_a_sub_file(filepath)) return;
    for (const auto& [other_path, other] : files) {
        if (other.files_split.empty() || !other.dir->same_as(dir)) continue;
        throw Error("the master " + in_quotes(filepath) + " is named like a sub-file, and " +
                    in_quotes(other_path) + " writes the blocks of split dataset " +
                    in_quotes(other.files_split.keys().front()) +
                    " under such names in that directory; rename the master");
    }
}

// "splitSize" as rows per block: a whole number; zero or less gives blocks of one item.
// Anything that is not a whole count of rows a file can hold is refused here, once.
std::int64_t block_rows(const zelt::Value& size, const std::string& where) {
    constexpr std::int64_t max_rows = std::int64_t{1} << 32;
    const std::string refused = where + ": splitSize " + zelt::to_text(size);
    auto checked = [&](long double rows) -> std::int64_t {
        if (rows <= 0) return 1;
        if (rows > max_rows) {
            throw Error(refused + " is too large: a block holds at most " +
                        std::to_string(max_rows) + " items");
        }
        return static_cast<std::int64_t>(rows);
    };
    if (const auto* n = size.as<std::int64_t>()) return checked(static_cast<long double>(*n));
    if (const auto* u = size.as<std::uint64_t>()) return checked(static_cast<long double>(*u));
    if (const auto* d = size.as<double>()) {
        if (!std::isfinite(*d)) throw Error(refused + " is not a finite number");
        if (std::floor(*d) != *d) throw Error(refused + " is not a whole number");
        return checked(static_cast<long double>(*d));
    }
    throw Error(refused + " is a " + size.kind_name() + ", not a whole number");
}

// What holds a link path of the master file, for the error that refuses it.
std::string holder_of(hid_t f, const std::string& path) {
    H5L_info_t info;
    if (H5Lget_info(f, path.c_str(), &info, H5P_DEFAULT) >= 0 && info.type == H5L_TYPE_EXTERNAL) {
        std::vector<char> value(info.u.val_size);
        const char* file = nullptr;
        const char* object = nullptr;
        unsigned flags = 0;
        if (H5Lget_val(f, path.c_str(), value.data(), value.size(), H5P_DEFAULT) >= 0 &&
            H5Lunpack_elink_val(value.data(), value.size(), &flags, &file, &object) >= 0) {
            return std::string("an external link to \"") + object + "\" in \"" + file +
                   "\", a block written earlier";
        }
        return "an external link";
    }
    return "another object";
}

// An existing file at a sub-file's name that holds "/entry/data/data" is a block of another
// scan: it is never replaced. A regular file that is no HDF5 block is stale and is replaced;
// anything else at the name (a link, a FIFO, a directory) is refused.
void refuse_other_scan_block(const Directory& dir, std::int64_t index, const std::string& where) {
    const std::string name = sub_file_name(index);
    const Directory::Kind kind = dir.kind_of(name);
    // Nothing there, or a link, whose name is replaced itself.
    if (kind == Directory::Kind::None || kind == Directory::Kind::Link) return;
    if (!holds_a_block(dir, name)) return;
    throw Error(where + ": " + in_quotes(dir.path_of(name)) +
                " already holds a block of another scan; write this scan into a new directory");
}

// Whether writing at `path` would take the place of split dataset `split`'s block links
// ("split/data_NNNN", written or to come) or of the groups that must hold them (`split` and
// the groups above it). Both are normal paths.
bool collides_with_split(const std::string& path, const std::string& split) {
    if (path == split || split.rfind(path + "/", 0) == 0) return true;
    const std::string links = split + "/data_";
    if (path.rfind(links, 0) != 0) return false;
    const auto end = std::min(path.find('/', links.size()), path.size());
    const std::string digits = path.substr(links.size(), end - links.size());
    return !digits.empty() &&
           std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Refuses a write at `path` that collides with a split dataset of `entry`.
void refuse_split_links(const FileEntry& entry, const std::string& path, const std::string& what) {
    const std::string normal = h5::normal_path(path);
    for (const auto& [name, split] : entry.files_split) {
        if (!collides_with_split(normal, h5::normal_path(name))) continue;
        throw Error(what + ": " + in_quotes(path) + " is where split dataset " + in_quotes(name) +
                    " links its blocks (" + in_quotes(link_path(name, 0)) + " and on); write " +
                    "somewhere else");
    }
}

// A dataset name shares the file-table entry with "fp" and with the other kind of dataset:
// "fp" would lose the open file, a name of both kinds would lose one record. Names are
// compared as paths: "/a//b/" and "a/b" are one dataset in the file, so a second spelling
// of a registered name is refused rather than written over the first at close.
void refuse_taken_name(const FileEntry& entry, const std::string& name, bool splitting,
                       const std::string& where) {
    if (name == "fp") throw Error(where + ": the name \"fp\" is reserved for the open file");
    if (splitting && entry.files_nosplit.contains(name)) {
        throw Error(where + ": " + in_quotes(name) + " is already an appendable dataset");
    }
    if (!splitting && entry.files_split.contains(name)) {
        throw Error(where + ": " + in_quotes(name) + " is already a split dataset");
    }
    const std::string normal = h5::normal_path(name);
    if (normal == "/") throw Error(where + ": " + in_quotes(name) + " names the root group");
    auto refuse_spelling = [&](const std::string& other) {
        if (other == name || h5::normal_path(other) != normal) return;
        throw Error(where + ": " + in_quotes(name) + " is another spelling of " + in_quotes(other) +
                    ", already registered; use that one");
    };
    for (const auto& [other, dataset] : entry.files_nosplit) {
        refuse_spelling(other);
        if (splitting && other != name && collides_with_split(h5::normal_path(other), normal)) {
            throw Error(where + ": split dataset " + in_quotes(name) + " would link its blocks " +
                        "where appendable dataset " + in_quotes(other) + " is written");
        }
    }
    for (const auto& [other, split] : entry.files_split) {
        refuse_spelling(other);
        if (!splitting) refuse_split_links(entry, name, where);
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

Settings Settings::from(const zelt::storageParser& config) {
    Settings settings{VeskSettings::from(config), {}, {}, {}, false};
    // An open master file holds up to four descriptors: HDF5's, its directory's, its
    // journal's and that of the block being filled (one split dataset per directory). A
    // reserve stays for the clients' sockets, the brokers and the last block's copy.
    rlimit files{};
    std::size_t descriptors = 1024;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
        descriptors = files.rlim_cur;
    }
    constexpr std::size_t per_file = 4;
    constexpr std::size_t reserve = 256;
    const long long most_files =
        static_cast<long long>(descriptors > 2 * reserve ? (descriptors - reserve) / per_file
                                                         : descriptors / (2 * per_file));
    long long max_files = config.number_or("corvane", "max_open_files", most_files);
    if (max_files <= 0 || max_files > most_files) {
        if (max_files > most_files) {
            spdlog::warn(
                "max_open_files {} would need more than the {} file descriptors this "
                "process may open; {} files at most",
                max_files, descriptors, most_files);
        }
        max_files = most_files;
    }
    settings.limits.max_open_files = static_cast<std::size_t>(max_files);
    const long long pages = ::sysconf(_SC_PHYS_PAGES);
    const long long page_size = ::sysconf(_SC_PAGESIZE);
    const long long half_mib =
        pages > 0 && page_size > 0 ? pages / 2 * (page_size / 1024) / 1024 : 0;
    const long long mib = config.number_or("corvane", "memory_limit_mib", half_mib);
    settings.limits.memory_limit_bytes = mib > 0 ? static_cast<std::uint64_t>(mib) << 20 : 0;
    settings.journal_dir = config.get_or("corvane", "journal_dir", "");
    const std::string sync = config.get_or("corvane", "journal_sync", "false");
    if (sync == "true" || sync == "yes" || sync == "1" || sync == "on") {
        settings.journal_sync = true;
    } else if (!(sync == "false" || sync == "no" || sync == "0" || sync == "off")) {
        throw zelt::Error("configuration \"" + config.source() +
                          "\": journal_sync in section [corvane] is \"" + sync +
                          "\", not true or false");
    }
    std::string roots = config.get_or("corvane", "data_roots", "");
    for (std::size_t start = 0; start <= roots.size();) {
        std::size_t comma = roots.find(',', start);
        if (comma == std::string::npos) comma = roots.size();
        std::string root = roots.substr(start, comma - start);
        root.erase(0, root.find_first_not_of(" \t"));
        root.erase(root.find_last_not_of(" \t") + 1);
        if (!root.empty()) settings.data_roots.push_back(resolved_path(root));
        start = comma + 1;
    }
    return settings;
}

Scrivell::Scrivell() : Scrivell(Settings::from(zelt::storageParser())) {}

Scrivell::Scrivell(Settings settings)
    : limits_(settings.limits),
      data_roots_(std::move(settings.data_roots)),
      journal_dir_path_(settings.journal_dir),
      outbox_(std::move(settings.vesk)) {
    if (!journal_dir_path_.empty()) journal_dir_.emplace(journal_dir_path_, settings.journal_sync);
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
    throw Error("\"type\" " + in_quotes(*name) + " names no operation");
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
    if (limits_.max_open_files && files.size() >= limits_.max_open_files) {
        throw Error(std::to_string(files.size()) +
                    " files are open, as many as max_open_files allows; close one first");
    }
    std::shared_ptr<const Directory> dir = Directory::of_master(filepath, data_roots_);
    refuse_master_among_blocks(files, *dir, filepath);
    bool existed = false;
    hid id = H5I_INVALID_HID;
    if (std::optional<OpenedMaster> opened =
            open_master_file(*dir, filepath, /*after_crash=*/false)) {
        existed = true;
        if (opened->id < 0)
            throw H5Error("open file " + in_quotes(filepath) + ": " + opened->refusal);
        id = opened->id;
    } else {
        id = create_master_file(*dir, filepath);
    }
    FileEntry opening{MasterFileHandle{id}, std::move(dir), {}, {}, {}, {}};
    // The file enters the table only once it is whole: flushed, and journaled when journals
    // are kept. An open that fails leaves nothing behind, not even a file it created.
    try {
        // A new file is complete on disk at once: a crash before its first write leaves a
        // file HDF5 can open, not a superblock without its objects.
        opening.fp.flush(filepath);
        if (journal_dir_) {
            opening.journal = JournalFile::create(
                journal_dir_->path(), "file",
                {{"kind", "file"},
                 {"filepath", filepath},
                 {"created", !existed},
                 {"opened_ns", static_cast<std::int64_t>(
                                   std::chrono::system_clock::now().time_since_epoch().count())}},
                journal_dir_->sync());
        }
    } catch (const Error&) {
        const std::shared_ptr<const Directory> directory = opening.dir;
        { FileEntry dropped = std::move(opening); }  // closes the file, unless HDF5 lost it
        if (!existed) directory->remove_quietly(base_name(filepath));
        throw;
    }
    files.insert_or_assign(filepath, std::move(opening));
    spdlog::info("open \"{}\": {} ({} files open)", filepath, existed ? "opened" : "created",
                 files.size());
}

void Scrivell::write_map(const zelt::Map& record, bool recreate_text) {
    const std::string& filepath = filepath_of(record);
    const zelt::Map& map = required_as<zelt::Map>(record, "map", "map");
    const OrderedMap<zelt::Value> flat = flatten(map);
    FileEntry& entry = entry_of(filepath);
    const zelt::Value empty_text("");
    zelt::Map written;  // for the journal: what a rebuilt master must hold again
    for (const auto& [path, value] : flat) {
        const zelt::Value* leaf = &value;
        if (const auto* nested = value.as<zelt::Map>(); nested && nested->empty()) {
            leaf = &empty_text;
        }
        try {
            refuse_split_links(entry, path,
                               "write " + in_quotes(path) + " in " + in_quotes(filepath));
            write_leaf(entry.fp.id(), path, *leaf, recreate_text, filepath);
        } catch (const Error&) {
            // The entries before it stay written: they reach the disk as a whole request's do.
            entry.fp.flush_after_failure();
            commit(entry, records::MapWritten{recreate_text, std::move(written)}, held_bytes_);
            throw;
        }
        if (entry.journal) written.emplace_back(path, *leaf);
    }
    // A crash after the reply finds the file as the request left it.
    entry.fp.flush(filepath);
    commit(entry, records::MapWritten{recreate_text, std::move(written)}, held_bytes_);
}

std::optional<std::pair<std::int64_t, std::int64_t>> Scrivell::note_seq(const std::string& filepath,
                                                                        const std::string& client,
                                                                        std::int64_t seq) {
    FileEntry& entry = entry_of(filepath);
    const auto known = entry.seqs.find(client);
    const std::int64_t last = known == entry.seqs.end() ? 0 : known->second;
    std::optional<std::pair<std::int64_t, std::int64_t>> missing;
    if (seq > last + 1) {
        missing.emplace(last + 1, seq - 1);
        commit(entry, records::RequestsMissing{last + 1, seq - 1}, held_bytes_);
    }
    if (seq > last) commit(entry, records::SeqNoted{client, seq}, held_bytes_);
    return missing;
}

void Scrivell::refuse_beyond_memory_limit(std::uint64_t adds, const std::string& what) const {
    if (!limits_.memory_limit_bytes) return;
    const std::uint64_t owed = outbox_.owed_bytes();
    if (held_bytes_ + owed + adds <= limits_.memory_limit_bytes) return;
    throw Error(what + ": the service holds " + mib_text(held_bytes_) +
                " MiB of appended values and " + mib_text(owed) +
                " MiB of notifications no broker has taken yet, and memory_limit_mib is " +
                std::to_string(limits_.memory_limit_bytes >> 20) +
                "; close files to write their values out");
}

void Scrivell::journal_failure(const std::string& filepath, const std::string& error) {
    if (FileEntry* entry = files.find(filepath)) {
        commit(*entry, records::RequestFailed{error}, held_bytes_);
    }
}

void Scrivell::write_journals() {
    for (auto& [filepath, entry] : files) {
        if (entry.journal) entry.journal->write();
    }
    outbox_.write_journal();
}

void Scrivell::deliver_owed() {
    (void)outbox_.wait_for("");
    outbox_.write_journal();
}

void Scrivell::create_dataset_map(const zelt::Map& record) { write_map(record, false); }

void Scrivell::create_dataset_map_new(const zelt::Map& record) { write_map(record, true); }

void Scrivell::create_dataset_append(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    const zelt::List& descriptions = required_as<zelt::List>(record, "dataset_info_list", "list");
    for (std::size_t i = 0; i < descriptions.size(); ++i) {
        const auto* description = descriptions[i].as<zelt::Map>();
        const std::string where = "description " + std::to_string(i);
        if (!description) throw Error(where + " is not a map");
        const zelt::Value* name_value = zelt::find(*description, "datasetname");
        const std::string* name = name_value ? name_value->as<std::string>() : nullptr;
        if (!name) throw Error(where + " has no text \"datasetname\"");
        FileEntry& entry = entry_of(filepath);
        refuse_taken_name(entry, *name, /*splitting=*/false, where);
        commit(entry, records::AppendRegistered{*name, *description}, held_bytes_);
    }
}

void Scrivell::dataset_append_map(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    const zelt::Value& values = required(record, "map");
    const zelt::Map& map = required_as<zelt::Map>(record, "map", "map");
    if (map.empty()) return;
    FileEntry& entry = entry_of(filepath);
    // The values before a refused one are appended, as if sent alone.
    std::size_t accepted = 0;
    std::uint64_t adds = 0;
    std::optional<Error> refused;
    std::unordered_set<std::string_view> named;
    for (const auto& [name, value] : map) {
        const AppendDataset* dataset = entry.files_nosplit.find(name);
        try {
            if (!dataset) {
                throw Error("dataset " + in_quotes(name) + " is not registered for appending");
            }
            // Each value is checked against those held before this request.
            if (!named.insert(name).second) {
                throw Error("dataset " + in_quotes(name) + " is named twice in one request");
            }
            // Checked now, so that a close never fails on values it cannot stack.
            if (std::string why = dataset->values.why_not_stackable(value); !why.empty()) {
                throw Error("dataset " + in_quotes(name) + ": " + why);
            }
            adds += Column::bytes_of(value);
            refuse_beyond_memory_limit(adds, "dataset " + in_quotes(name));
        } catch (const Error& error) {
            refused.emplace(error);
            break;
        }
        ++accepted;
    }
    if (accepted == map.size()) {
        commit(entry, records::Appended{values}, held_bytes_);
    } else if (accepted > 0) {
        commit(entry,
               records::Appended{zelt::Map(map.begin(),
                                           map.begin() + static_cast<std::ptrdiff_t>(accepted))},
               held_bytes_);
    }
    if (refused) throw *refused;
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
        const std::int64_t rows = block_rows(splitSize, where);
        if (named_like_a_sub_file(filepath)) {
            throw Error(where + ": the master file is named like a sub-file, and block " +
                        "sub-files are written beside it under such names; rename the master");
        }
        FileEntry& entry = entry_of(filepath);
        refuse_taken_name(entry, *dataname, /*splitting=*/true, where);
        // Sub-file names depend only on the block index: two live split datasets writing
        // into one directory would overwrite each other's blocks, and a block would replace
        // an open master named like one.
        for (const auto& [other_path, other_entry] : files) {
            if (!other_entry.dir->same_as(*entry.dir)) continue;
            if (other_path != filepath && named_like_a_sub_file(other_path)) {
                throw Error(where + ": split dataset " + in_quotes(*dataname) + " of " +
                            in_quotes(filepath) + " would write its sub-files beside the open " +
                            "master " + in_quotes(other_path) + ", which is named like one");
            }
            for (const auto& [other_name, other_split] : other_entry.files_split) {
                if (other_path == filepath && other_name == *dataname) continue;
                throw Error(where + ": split dataset " + in_quotes(*dataname) + " of " +
                            in_quotes(filepath) + " would write its sub-files into " +
                            in_quotes(entry.dir->path()) + ", where split dataset " +
                            in_quotes(other_name) + " of " + in_quotes(other_path) +
                            " writes its own");
            }
        }
        // Registering again restarts at block 0; the rows of a block being filled are dropped
        // with its hidden file.
        commit(entry, records::SplitRegistered{*dataname, rows}, held_bytes_);
    }
}

namespace {

void log_sub_file(const StreamingBlock& block, std::chrono::steady_clock::time_point started) {
    if (!spdlog::should_log(spdlog::level::info)) return;
    const double mib = static_cast<double>(block.rows_written()) *
                       static_cast<double>(block.layout().row_bytes) / (1 << 20);
    spdlog::info("sub-file \"{}\": {} rows, {:.1f} MiB, {:.3f} s", block.path(),
                 block.rows_written(), mib,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}

}  // namespace

void Scrivell::dataset_append_split_map(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    const zelt::Map& map = required_as<zelt::Map>(record, "map", "map");
    for (const auto& [k, v] : map) append_item(entry_of(filepath), filepath, k, v, record);
}

void Scrivell::append_item(FileEntry& entry, const std::string& filepath, const std::string& name,
                           const zelt::Value& item, const zelt::Map& record) {
    SplitDataset* split = entry.files_split.find(name);
    if (!split) throw Error("dataset " + in_quotes(name) + " is not registered as a split dataset");
    const std::string where = "split dataset " + in_quotes(name);
    if (split->block && split->block->full()) {
        // A full block whose finishing failed before (its rename or link) is finished first;
        // this item goes to the next block. A failure here fails this item, written nowhere.
        std::string message = notification_json("scan_run", zelt::find_or_null(record, "identify"),
                                                zelt::find_or_null(record, "CTType"),
                                                split->block->path(), "/entry/data/data");
        finish_block(entry, filepath, name, *split, std::move(message), false);
    }
    if (!split->block) {
        // Everything that would refuse the block is checked before its file exists; its
        // notification will be held until a broker takes it.
        if (!outbox_.settings().bootstrap_servers.empty()) {
            refuse_beyond_memory_limit(max_notification_bytes, where);
        }
        RowLayout layout = RowLayout::of(item, where);
        const std::string link = link_path(name, split->splitFileIndex);
        if (h5::path_exists(entry.fp.id(), link)) {
            throw Error(where + ": block " + std::to_string(split->splitFileIndex) +
                        " would be linked at " + in_quotes(link) + " in " + in_quotes(filepath) +
                        ", which holds " + holder_of(entry.fp.id(), link) +
                        "; register the dataset under a new name or in a new file");
        }
        refuse_other_scan_block(*entry.dir, split->splitFileIndex, where);
        records::BlockStarted started{name, split->splitFileIndex, layout.typestr, layout.shape};
        split->block.emplace(entry.dir, split->splitFileIndex, split->splitSize, std::move(layout));
        split->block_started = std::chrono::steady_clock::now();
        commit(entry, started, held_bytes_);
    }
    StreamingBlock& block = *split->block;
    // The notification of the block this item completes is built before its row is written:
    // an "identify" without a JSON form fails the request before it changes anything.
    std::string message;
    if (block.rows_written() + 1 == split->splitSize) {
        message = notification_json("scan_run", zelt::find_or_null(record, "identify"),
                                    zelt::find_or_null(record, "CTType"), block.path(),
                                    "/entry/data/data");
    }
    block.write(item, where);
    commit(entry, records::RowWritten{name}, held_bytes_);
    if (!block.full()) return;
    // Written and linked: the item is done, whenever a broker takes the notification.
    finish_block(entry, filepath, name, *split, std::move(message), false);
}

void Scrivell::finish_block(FileEntry& entry, const std::string& filepath, const std::string& name,
                            SplitDataset& split, std::string message, bool held_by_close) {
    StreamingBlock& block = *split.block;
    const std::string what = "scan_run for " + in_quotes(block.path());
    // On disk before the sub-file takes its final name: a restart that finds the block
    // renamed but not yet linked completes it and announces it with this message.
    commit(entry, records::BlockFull{name, message}, held_bytes_);
    if (entry.journal) entry.journal->write();
    const bool sync = journal_dir_ && journal_dir_->sync();
    writeSubDataFile(entry.fp.id(), name, split.splitFileIndex, block, sync);
    entry.fp.flush(filepath);
    log_sub_file(block, split.block_started);
    // The block is written once: whatever becomes of its notification, the next items go to
    // the next block.
    commit(entry, records::BlockDone{name, split.splitFileIndex}, held_bytes_);
    outbox_.post(std::move(message), what, filepath, held_by_close);
}

void Scrivell::close(const zelt::Map& record) { close_file(record, /*at_shutdown=*/false); }

void Scrivell::close_at_shutdown(const std::string& filepath) {
    close_file(zelt::Map{{"filepath", filepath}}, /*at_shutdown=*/true);
}

void Scrivell::close_file(const zelt::Map& record, bool at_shutdown) {
    const std::string& filepath = filepath_of(record);
    FileEntry* entry = files.find(filepath);
    if (!entry) {
        say("closed file not opened " + filepath);
        return;
    }
    const zelt::Value& identify = zelt::find_or_null(record, "identify");
    const zelt::Value& CTType = zelt::find_or_null(record, "CTType");
    // Built first: a close whose "identify" has no JSON form fails before it changes anything.
    std::string stop = notification_json("scan_stop", identify, CTType, filepath, "/entry/data");
    const auto started = std::chrono::steady_clock::now();
    const hid f = entry->fp.id();
    std::size_t written = 0;
    std::size_t blocks = 0;
    for (const auto& [k, v] : entry->files_nosplit) {
        if (v.values.empty()) continue;
        write_column(f, k, v.values, v.batch, filepath);
        ++written;
    }
    for (auto& [k, v] : entry->files_split) {
        if (!v.block) continue;
        if (v.block->rows_written() == 0) {
            v.block.reset();
            continue;
        }
        std::string message =
            notification_json("scan_run", identify, CTType, v.block->path(), "/entry/data/data");
        ++blocks;
        // The close waits for the notifications of its own last blocks, not for earlier ones.
        finish_block(*entry, filepath, k, v, std::move(message), !at_shutdown);
    }
    if (!at_shutdown && !outbox_.wait_for(filepath)) {
        throw NotifyError("close " + in_quotes(filepath) +
                          ": the last blocks are written and linked, but no broker has taken "
                          "their notification; close again once one answers (" +
                          outbox_.last_error() + ")");
    }
    entry->fp.close();
    for (const auto& [k, v] : entry->files_nosplit) held_bytes_ -= v.values.bytes();
    const std::string what = "scan_stop for " + in_quotes(filepath);
    outbox_.post(std::move(stop), what, filepath, /*close_waits=*/!at_shutdown);
    // The file is closed: whatever fails from here on, it leaves the tables. The stop
    // notification is in the outbox's journal before the file's journal goes.
    std::string unrecorded;
    try {
        outbox_.write_journal();
        if (entry->journal) entry->journal->remove();
    } catch (const Error& error) {
        unrecorded = error.what();
    }
    files.erase(filepath);
    if (!at_shutdown && !outbox_.wait_for(filepath)) {
        // The file is closed and complete: a late stop notification does not undo that.
        say("send2vesk_stop error " + outbox_.why_owed(what));
    }
    spdlog::info("close \"{}\": {} datasets written, {} last blocks, {:.3f} s", filepath, written,
                 blocks,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    if (!unrecorded.empty()) {
        throw Error("close " + in_quotes(filepath) + ": the file is closed and complete, but " +
                    unrecorded);
    }
}

zelt::Map Scrivell::status() const {
    zelt::Map open_files;
    for (const auto& [filepath, entry] : files) {
        zelt::Map appendable;
        for (const auto& [name, dataset] : entry.files_nosplit) {
            appendable.emplace_back(name, static_cast<std::int64_t>(dataset.values.size()));
        }
        zelt::Map split;
        for (const auto& [name, dataset] : entry.files_split) {
            split.emplace_back(
                name, zelt::Map{{"splitFileIndex", dataset.splitFileIndex},
                                {"splitSize", dataset.splitSize},
                                {"rows", dataset.block ? dataset.block->rows_written() : 0}});
        }
        open_files.emplace_back(filepath, zelt::Map{{"appendable", std::move(appendable)},
                                                    {"split", std::move(split)}});
    }
    return {{"files", std::move(open_files)},
            {"notifications_pending", static_cast<std::int64_t>(outbox_.size())},
            {"held_mib", static_cast<double>(held_bytes_ + outbox_.owed_bytes()) / (1 << 20)}};
}

bool Scrivell::holds_unwritable_files() const {
    return std::any_of(files.begin(), files.end(),
                       [](const auto& entry) { return !entry.second.fp.lost().empty(); });
}

void Scrivell::closeAll(const zelt::Map&) {
    for (const std::string& filepath : files.keys()) close(zelt::Map{{"filepath", filepath}});
}

}  // namespace scrivell
