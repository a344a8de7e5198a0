#include <spdlog/spdlog.h>

#include <algorithm>
#include <scrivell/Scrivell.hpp>
#include <scrivell/fail_points.hpp>
#include <zelt/storageParser.hpp>

#include "Budget.hpp"
#include "FailedRequests.hpp"
#include "OpenFile.hpp"
#include "Outbox.hpp"
#include "compression_pool.hpp"
#include "requests.hpp"
#include "say.hpp"
#include "table_rules.hpp"
#include "text.hpp"

namespace scrivell {

namespace {

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
    : limits_(settings.limits),
      data_roots_(std::move(settings.data_roots)),
      journal_dir_path_(settings.journal_dir),
      outbox_(std::make_unique<Outbox>(std::move(settings.vesk))),
      budget_(std::make_unique<Budget>(limits_.memory_limit_bytes, limits_.max_descriptors)),
      files_(std::make_unique<FileTable>()),
      pool_(std::make_unique<CompressionPool>(settings.compression_threads)),
      unopened_failures_(std::make_unique<UnopenedFailures>()) {
    if (!journal_dir_path_.empty()) {
        journal_dir_ = std::make_unique<JournalDirectory>(journal_dir_path_, settings.journal_sync);
    }
    services_ = std::make_unique<Services>(Services{*outbox_, *pool_, *budget_, counters_,
                                                    journal_dir_ && journal_dir_->sync(),
                                                    settings.verify_precompressed});
    budget_->count_owed([this] { return outbox_->owed_bytes(); });
    budget_->reclaim_by([this] { write_all_pending(); });
    // Failures are reported once, by the error that carries the stack's message.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

Scrivell::~Scrivell() = default;

const VeskSettings& Scrivell::notification_settings() const { return outbox_->settings(); }
std::vector<std::string> Scrivell::owed_notifications() const { return outbox_->owed(); }
std::string Scrivell::last_notification_error() const { return outbox_->last_error(); }
void Scrivell::settle_notifications() {
    // A notification no broker will ever take is dropped: the next waiting close tells it.
    for (const auto& [filepath, error] : outbox_->take_dropped()) {
        if (!filepath.empty()) note_failure(filepath, error);
    }
    outbox_->write_journal();
}

bool Scrivell::is_open(const std::string& filepath) const { return files_->contains(filepath); }
std::vector<std::string> Scrivell::open_paths() const { return files_->keys(); }

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

OpenFile& Scrivell::file_of(const std::string& filepath) {
    std::unique_ptr<OpenFile>* file = files_->find(filepath);
    if (!file) not_open(filepath);
    return **file;
}

void Scrivell::open(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    if (files_->contains(filepath)) {
        say("file already opened:  " + filepath);
        return;
    }
    if (limits_.max_open_files && files_->size() >= limits_.max_open_files) {
        throw Error(std::to_string(files_->size()) +
                    " files are open, as many as max_open_files allows; close one first");
    }
    // Room for the file, its journal and a compressed block.
    budget_->refuse_beyond_descriptors(2 + (journal_dir_ ? 1 : 0) + 2,
                                       "open " + in_quotes(filepath));
    std::shared_ptr<const Directory> dir = Directory::of_master(filepath, data_roots_);
    refuse_master_among_blocks(*files_, *dir, filepath);
    const bool existed = dir->kind_of(base_name(filepath)) != Directory::Kind::None;
    files_->insert_or_assign(
        filepath, OpenFile::open(filepath, std::move(dir), journal_dir_.get(), *services_));
    spdlog::info("open \"{}\": {} ({} files open)", filepath, existed ? "opened" : "created",
                 files_->size());
}

std::optional<std::pair<std::int64_t, std::int64_t>> Scrivell::note_seq(const std::string& filepath,
                                                                        const std::string& client,
                                                                        std::int64_t seq) {
    return file_of(filepath).note_seq(client, seq);
}

std::size_t Scrivell::descriptors_held() const { return budget_->held(Budget::Kind::Descriptors); }

std::uint64_t Scrivell::held_bytes() const { return budget_->held_bytes(); }

void Scrivell::note_failure(const std::string& filepath, const std::string& error) {
    if (std::unique_ptr<OpenFile>* file = files_->find(filepath)) {
        (*file)->note_failure(error);
    } else {
        unopened_failures_->add(filepath, error);
    }
}

std::string Scrivell::take_failure_report(const std::string& filepath) {
    if (std::unique_ptr<OpenFile>* file = files_->find(filepath)) {
        // Still open (a close that left it so): reported now, so not again from memory; a
        // restart reports it again from the journal rather than never.
        unopened_failures_->merge(filepath, (*file)->take_failures());
    }
    return unopened_failures_->take(filepath);
}

std::vector<std::string> Scrivell::take_failure_reports(bool of_open_files) {
    for (auto& [filepath, file] : *files_) {
        if (of_open_files) unopened_failures_->merge(filepath, file->take_failures());
    }
    return unopened_failures_->take_all();
}

bool Scrivell::has_unreported_failures(const std::string& filepath) const {
    const std::unique_ptr<OpenFile>* file = files_->find(filepath);
    return file && !(*file)->failures().empty();
}

std::size_t Scrivell::unreported_failures() const {
    std::size_t requests = unopened_failures_->requests();
    for (const auto& [filepath, file] : *files_) requests += file->failures().requests();
    return requests;
}

void Scrivell::write_journals() {
    write_all_pending();
    // The notifications first: a crash between the two writes then leaves a block that the
    // file's journal still calls full, which the next start finishes and announces again,
    // never a block recorded as done whose announcement was lost.
    outbox_->write_journal();
    // Each file's rows are readable before its journal counts them. A file whose rows cannot
    // be published keeps its journal back; the others' are written all the same.
    std::optional<Error> failed;
    for (auto& [filepath, file] : *files_) {
        try {
            file->publish_and_journal();
        } catch (const Error& error) {
            if (!failed) failed.emplace(error);
        }
    }
    if (failed) throw *failed;
}

void Scrivell::write_all_pending() {
    for (auto& [filepath, file] : *files_) file->write_pending();
}

std::size_t Scrivell::rows_with_workers() const {
    std::size_t rows = 0;
    for (const auto& [filepath, file] : *files_) rows += file->rows_with_workers();
    return rows;
}

std::uint64_t Scrivell::notifications_delivered() const { return outbox_->delivered(); }
std::uint64_t Scrivell::notifications_dropped() const { return outbox_->dropped(); }
std::size_t Scrivell::notifications_owed() const { return outbox_->size(); }

void Scrivell::tell_progress_if_due() {
    if (!outbox_->sends_progress()) return;
    const auto now = std::chrono::steady_clock::now();
    for (auto& [filepath, file] : *files_) file->tell_progress_if_due(now);
}

void Scrivell::deliver_owed() {
    (void)outbox_->wait_for("");
    outbox_->write_journal();
}

void Scrivell::create_dataset_map(const zelt::Map& record) {
    file_of(filepath_of(record)).write_map(required_as<zelt::Map>(record, "map", "map"), false);
}
void Scrivell::create_dataset_map_new(const zelt::Map& record) {
    file_of(filepath_of(record)).write_map(required_as<zelt::Map>(record, "map", "map"), true);
}

void Scrivell::create_dataset_append(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    const zelt::List& descriptions = required_as<zelt::List>(record, "dataset_info_list", "list");
    if (!descriptions.empty()) file_of(filepath).register_appendable(descriptions);
}

void Scrivell::dataset_append_map(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    if (!required_as<zelt::Map>(record, "map", "map").empty()) {
        file_of(filepath).append(required(record, "map"));
    }
}

void Scrivell::create_dataset_append_split(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    const zelt::List& pairs = required_as<zelt::List>(record, "datainfolist", "list");
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const std::string where = "element " + std::to_string(i);
        auto [name, settings] = SplitSettings::from_element(pairs[i], where);
        OpenFile& file = file_of(filepath);
        settings.stem = file.split_stem(name, settings, where);
        refuse_shared_block_directory(*files_, file, name, settings.stem, where);
        file.register_split(name, std::move(settings));
    }
}

void Scrivell::dataset_append_split_map(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    const zelt::Map& map = required_as<zelt::Map>(record, "map", "map");
    if (!map.empty()) file_of(filepath).append_split(map, record);
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
    std::unique_ptr<OpenFile>* found = files_->find(filepath);
    if (!found) {
        say("closed file not opened " + filepath);
        return;
    }
    OpenFile& file = **found;
    // Built first: a close whose "identify" has no JSON form fails before it changes anything.
    std::string stop =
        notification_json("scan_stop", zelt::find_or_null(record, "identify"),
                          zelt::find_or_null(record, "CTType"), filepath, "/entry/data");
    const auto started = std::chrono::steady_clock::now();
    const OpenFile::Written written = file.write_out(record, /*held_by_close=*/!at_shutdown);
    // A waiting close waits for its notifications (its last blocks', then its stop's) at most
    // one bound in all, counted from the end of its writes.
    const auto deadline = std::chrono::steady_clock::now() + outbox_->wait_bound();
    if (!at_shutdown && !outbox_->wait_for(filepath, deadline)) {
        throw NotifyError("close " + in_quotes(filepath) +
                          ": the last blocks are written and linked, but no broker has taken "
                          "their notification; close again once one answers (" +
                          outbox_->last_error() + ")");
    }
    // The file is closed: whatever fails from here on, it leaves the tables.
    const std::string what = "scan_stop for " + in_quotes(filepath);
    const std::string unrecorded =
        file.close(std::move(stop), what, /*held_by_close=*/!at_shutdown);
    // Its failures not yet reported wait for a waiting close of the path, or closeAll.
    unopened_failures_->merge(filepath, file.take_failures());
    files_->erase(filepath);
    if (!at_shutdown && !outbox_->wait_for(filepath, deadline)) {
        // The file is closed and complete: a late stop notification does not undo that.
        say("send2vesk_stop error " + outbox_->why_owed(what));
    }
    spdlog::info("close \"{}\": {} datasets written, {} last blocks, {:.3f} s", filepath,
                 written.datasets, written.blocks,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    if (!unrecorded.empty()) {
        throw Error("close " + in_quotes(filepath) + ": the file is closed and complete, but " +
                    unrecorded);
    }
}

zelt::Map Scrivell::status() const {
    zelt::Map open_files;
    for (const auto& [filepath, file] : *files_) open_files.emplace_back(filepath, file->status());
    return {{"files", std::move(open_files)},
            {"notifications_pending", static_cast<std::int64_t>(outbox_->size())},
            {"held_mib", static_cast<double>(held_bytes()) / (1 << 20)}};
}

bool Scrivell::holds_unwritable_files() const {
    return std::any_of(files_->begin(), files_->end(),
                       [](const auto& entry) { return !entry.second->lost().empty(); });
}

void Scrivell::closeAll(const zelt::Map&) {
    for (const std::string& filepath : files_->keys()) close(zelt::Map{{"filepath", filepath}});
}

}  // namespace scrivell
