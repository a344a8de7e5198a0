#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdio>
#include <scrivell/Scrivell.hpp>
#include <scrivell/fail_points.hpp>
#include <string_view>
#include <unordered_set>
#include <zelt/storageParser.hpp>

#include "FailedRequests.hpp"
#include "Journal.hpp"
#include "Outbox.hpp"
#include "compression_pool.hpp"
#include "file_state.hpp"
#include "file_table.hpp"
#include "h5/h5.hpp"
#include "map_datasets.hpp"
#include "master_file.hpp"
#include "names.hpp"
#include "requests.hpp"
#include "say.hpp"
#include "split_files.hpp"
#include "text.hpp"
#include "write.hpp"

namespace scrivell {

namespace {

std::string mib_text(std::uint64_t bytes) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", static_cast<double>(bytes) / (1 << 20));
    return buffer;
}

[[noreturn]] void not_open(const std::string& filepath) {
    throw Error("file " + in_quotes(filepath) + " is not open");
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

Scrivell::Scrivell() : Scrivell(Settings::from(zelt::storageParser())) {}

Scrivell::Scrivell(Settings settings)
    : table_(std::make_unique<OrderedMap<FileEntry>>()),
      files(*table_),
      limits_(settings.limits),
      data_roots_(std::move(settings.data_roots)),
      journal_dir_path_(settings.journal_dir),
      outbox_ptr_(std::make_unique<Outbox>(std::move(settings.vesk))),
      outbox_(*outbox_ptr_),
      unopened_failures_(std::make_unique<UnopenedFailures>()) {
    compression_threads_ = settings.compression_threads;
    verify_precompressed_ = settings.verify_precompressed;
    if (!journal_dir_path_.empty()) {
        journal_dir_ = std::make_unique<JournalDirectory>(journal_dir_path_, settings.journal_sync);
    }
    // Failures are reported once, by the error that carries the stack's message.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

Scrivell::~Scrivell() = default;

const VeskSettings& Scrivell::notification_settings() const { return outbox_.settings(); }

std::vector<std::string> Scrivell::owed_notifications() const { return outbox_.owed(); }

std::string Scrivell::last_notification_error() const { return outbox_.last_error(); }

std::vector<std::pair<std::string, std::string>> Scrivell::take_dropped_notifications() {
    return outbox_.take_dropped();
}

bool Scrivell::is_open(const std::string& filepath) const { return files.contains(filepath); }

std::vector<std::string> Scrivell::open_paths() const { return files.keys(); }

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

bool Scrivell::serves(const std::string& type) {
    return std::any_of(std::begin(dispatch_table), std::end(dispatch_table),
                       [&](const Dispatch& entry) { return type == entry.type; });
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
    // Room for the file, its journal and a compressed block.
    refuse_beyond_descriptors(2 + (journal_dir_ ? 1 : 0) + 2, "open " + in_quotes(filepath));
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
    FileEntry opening{MasterFileHandle{id}, std::move(dir), {}, {}, {}, {}, {}};
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
    // Counted before a byte is allocated: long keys above many leaves would otherwise make
    // paths many times the request's size.
    const FlattenCost cost = flatten_cost(map);
    const std::uint64_t bound =
        std::max(min_flatten_bound, max_flatten_factor * cost.request_bytes);
    const std::string what = "map for " + in_quotes(filepath);
    if (cost.flat_bytes > bound) {
        throw Error(what + ": its leaves' paths would take " + mib_text(cost.flat_bytes) +
                    " MiB, more than " + std::to_string(max_flatten_factor) +
                    " times the request's size; nothing was written");
    }
    refuse_beyond_memory_limit(cost.flat_bytes, what);
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

std::size_t Scrivell::descriptors_held() const {
    std::size_t held = 0;
    for (const auto& [filepath, entry] : files) {
        held += 2 + (entry.journal ? 1 : 0);
        for (const auto& [name, split] : entry.files_split) {
            if (split.block && !split.block->finished()) {
                held += stored_in_chunks(split.compression, split.block->layout()) ? 2 : 1;
            }
        }
    }
    return held;
}

void Scrivell::refuse_beyond_descriptors(std::size_t adds, const std::string& what) const {
    if (!limits_.max_descriptors) return;
    const std::size_t held = descriptors_held();
    if (held + adds <= limits_.max_descriptors) return;
    throw Error(what + ": the open files and their blocks hold " + std::to_string(held) +
                " file descriptors, and " + std::to_string(adds) + " more would leave too few " +
                "of this process's for its clients (at most " +
                std::to_string(limits_.max_descriptors) + " for files); close files first");
}

void Scrivell::note_failure(const std::string& filepath, const std::string& error) {
    if (FileEntry* entry = files.find(filepath)) {
        commit(*entry, records::RequestFailed{error}, held_bytes_);
    } else {
        unopened_failures_->add(filepath, error);
    }
}

std::string Scrivell::take_failure_report(const std::string& filepath) {
    if (FileEntry* entry = files.find(filepath)) {
        // Still open (a close that left it so): reported now, so not again from memory; a
        // restart reports it again from the journal rather than never.
        unopened_failures_->merge(filepath, std::exchange(entry->failures, {}));
    }
    return unopened_failures_->take(filepath);
}

std::vector<std::string> Scrivell::take_failure_reports(bool of_open_files) {
    for (auto& [filepath, entry] : files) {
        if (of_open_files) unopened_failures_->merge(filepath, std::exchange(entry.failures, {}));
    }
    std::vector<std::string> reports;
    while (!unopened_failures_->paths().empty()) {
        const std::string filepath = unopened_failures_->paths().front();
        reports.push_back(in_quotes(filepath) + ": " + unopened_failures_->take(filepath));
    }
    return reports;
}

bool Scrivell::has_unreported_failures(const std::string& filepath) const {
    const FileEntry* entry = files.find(filepath);
    return entry && !entry->failures.empty();
}

std::size_t Scrivell::unreported_failures() const {
    std::size_t requests = unopened_failures_->requests();
    for (const auto& [filepath, entry] : files) requests += entry.failures.requests();
    return requests;
}

void Scrivell::write_journals() {
    write_all_pending();
    // The notifications first: a crash between the two writes then leaves a block that the
    // file's journal still calls full, which the next start finishes and announces again,
    // never a block recorded as done whose announcement was lost.
    outbox_.write_journal();
    // Each file's rows are readable before its journal counts them. A file whose rows cannot
    // be published keeps its journal back; the others' are written all the same.
    std::optional<Error> failed;
    for (auto& [filepath, entry] : files) {
        try {
            publish_and_journal(entry);
        } catch (const Error& error) {
            if (!failed) failed.emplace(error);
        }
    }
    if (failed) throw *failed;
}

void Scrivell::publish_and_journal(FileEntry& entry) {
    for (auto& [name, split] : entry.files_split) split.publish();
    if (!entry.journal) return;
    const auto started = std::chrono::steady_clock::now();
    if (entry.journal->write()) count_journal_write(started);
}

void Scrivell::count_journal_write(std::chrono::steady_clock::time_point started) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ++counters_.journal_writes;
    counters_.journal_seconds += seconds;
    for (std::size_t i = 0; i < std::size(Counters::journal_bounds); ++i) {
        if (seconds <= Counters::journal_bounds[i]) ++counters_.journal_within[i];
    }
}

std::size_t Scrivell::rows_with_workers() const {
    std::size_t rows = 0;
    for (const auto& [filepath, entry] : files) {
        for (const auto& [name, split] : entry.files_split) rows += split.pending.size();
    }
    return rows;
}

std::uint64_t Scrivell::notifications_delivered() const { return outbox_.delivered(); }
std::uint64_t Scrivell::notifications_dropped() const { return outbox_.dropped(); }
std::size_t Scrivell::notifications_owed() const { return outbox_.size(); }

void Scrivell::tell_progress_if_due() {
    if (!outbox_.sends_progress()) return;
    const auto now = std::chrono::steady_clock::now();
    for (auto& [filepath, entry] : files) {
        std::vector<std::pair<const std::string*, SplitStream*>> due;
        for (auto& [name, split] : entry.files_split) {
            if (split.progress_due(outbox_.settings(), now)) due.emplace_back(&name, &split);
        }
        if (due.empty()) continue;
        StreamContext context = context_of(entry, filepath);
        // A reader told of a frame may read it: after a crash the frame must come back as it
        // was, not be written over by a later one, so the journal counts it first.
        try {
            for (auto& [name, split] : due) split->write_pending(context, *name, 0, true);
            publish_and_journal(entry);
        } catch (const Error& error) {
            spdlog::error("{}", error.what());  // the journal's next write says it again
            continue;
        }
        for (auto& [name, split] : due) {
            if (split->frames_readable() > split->progress_told) {
                split->tell_progress(context, *name, /*final=*/false);
            }
        }
    }
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
    for (const auto& item : map) {
        const std::string& name = item.first;
        const zelt::Value& value = item.second;
        const AppendDataset* dataset = entry.files_nosplit.find(name);
        try {
            if (!dataset) {
                throw Error("dataset " + in_quotes(name) + " is not registered for appending");
            }
            // Each value is checked against those held before this request.
            const bool repeated =
                map.size() <= 16
                    ? std::any_of(map.begin(), map.begin() + static_cast<std::ptrdiff_t>(accepted),
                                  [&](const auto& earlier) { return earlier.first == name; })
                    : !named.insert(name).second;
            if (repeated) {
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
        commit(entry, records::Appended{&values}, held_bytes_);
    } else if (accepted > 0) {
        const zelt::Value some(
            zelt::Map(map.begin(), map.begin() + static_cast<std::ptrdiff_t>(accepted)));
        commit(entry, records::Appended{&some}, held_bytes_);
    }
    if (refused) throw *refused;
}

void Scrivell::close(const zelt::Map& record) { close_file(record, /*at_shutdown=*/false); }

void Scrivell::close_at_shutdown(const std::string& filepath) {
    if (fails_now(FailPoint::CloseAtShutdown)) {
        throw Error("close " + in_quotes(filepath) + " at shutdown: " + std::strerror(errno));
    }
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
        StreamContext context = context_of(*entry, filepath);
        v.write_pending(context, k);
        if (!v.block) continue;
        if (v.block->rows_written() == 0) {
            v.block->discard();
            v.block.reset();
            continue;
        }
        std::string message =
            notification_json("scan_run", identify, CTType, v.block->path(), "/entry/data/data");
        ++blocks;
        // The close waits for the notifications of its own last blocks, not for earlier ones.
        v.finish_block(context, k, std::move(message), !at_shutdown);
    }
    for (auto& [k, v] : entry->files_split) {
        if (v.vds) {
            const std::string why =
                create_block_stack(f, *entry->dir, filepath, k, v.stem, v.splitSize,
                                   v.splitFileIndex, v.typestr, v.shape);
            if (!why.empty()) {
                // The close goes on, and its reply says what it left undone.
                spdlog::error("close \"{}\": {}", filepath, why);
                commit(*entry, records::RequestFailed{"close " + in_quotes(filepath) + ": " + why},
                       held_bytes_);
            }
        }
        StreamContext context = context_of(*entry, filepath);
        v.tell_progress(context, k, /*final=*/true);
    }
    // A waiting close waits for its notifications (its last blocks', then its stop's) at most
    // one bound in all, counted from the end of its writes.
    const auto deadline = std::chrono::steady_clock::now() + outbox_.wait_bound();
    if (!at_shutdown && !outbox_.wait_for(filepath, deadline)) {
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
    // Its failures not yet reported wait for a waiting close of the path, or closeAll.
    unopened_failures_->merge(filepath, entry->failures);
    files.erase(filepath);
    if (!at_shutdown && !outbox_.wait_for(filepath, deadline)) {
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
            // The block being filled counts too.
            const StreamingBlock* block = dataset.block.get();
            const std::uint64_t block_stored = block ? block->stored_bytes() : 0;
            const std::uint64_t block_raw =
                block
                    ? static_cast<std::uint64_t>(block->rows_written()) * block->layout().row_bytes
                    : 0;
            zelt::Map described{{"splitFileIndex", dataset.splitFileIndex},
                                {"splitSize", dataset.splitSize},
                                {"compression", dataset.compression.name()},
                                {"bytes_written", dataset.stored_bytes + block_stored},
                                {"raw_bytes", dataset.raw_bytes + block_raw},
                                {"rows", dataset.block ? dataset.block->rows_written() : 0},
                                {"frames_readable", dataset.frames_readable()},
                                {"stem", dataset.stem}};
            zelt::Value current = dataset.current();
            if (!current.is_null()) described.emplace_back("current", std::move(current));
            split.emplace_back(name, std::move(described));
        }
        open_files.emplace_back(filepath, zelt::Map{{"appendable", std::move(appendable)},
                                                    {"split", std::move(split)}});
    }
    return {{"files", std::move(open_files)},
            {"notifications_pending", static_cast<std::int64_t>(outbox_.size())},
            {"held_mib", static_cast<double>(held_bytes_in_all()) / (1 << 20)}};
}

std::uint64_t Scrivell::held_bytes_in_all() const {
    return held_bytes_ + outbox_.owed_bytes() + pending_bytes_;
}

bool Scrivell::holds_unwritable_files() const {
    return std::any_of(files.begin(), files.end(),
                       [](const auto& entry) { return !entry.second.fp.lost().empty(); });
}

void Scrivell::closeAll(const zelt::Map&) {
    for (const std::string& filepath : files.keys()) close(zelt::Map{{"filepath", filepath}});
}

}  // namespace scrivell
