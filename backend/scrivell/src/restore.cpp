// Start-up after a crash: the files whose journals are in the journal directory are opened
// again and their tables rebuilt as they were after the last request carried out.
#include <spdlog/spdlog.h>

#include <filesystem>
#include <map>
#include <scrivell/Scrivell.hpp>

#include "FailedRequests.hpp"
#include "Outbox.hpp"
#include "file_state.hpp"
#include "file_table.hpp"
#include "h5/h5.hpp"
#include "map_datasets.hpp"
#include "master_file.hpp"
#include "split_files.hpp"
#include "text.hpp"

namespace scrivell {

namespace {

const zelt::Value& field(const zelt::Map& record, const char* key) {
    return zelt::find_or_null(record, key);
}

std::string text_of(const zelt::Map& record, const char* key) {
    const std::string* text = field(record, key).as<std::string>();
    if (!text) throw Error(std::string("a journal record has no text \"") + key + "\"");
    return *text;
}

std::int64_t integer_of(const zelt::Map& record, const char* key) {
    const std::int64_t* number = field(record, key).as<std::int64_t>();
    if (!number) throw Error(std::string("a journal record has no integer \"") + key + "\"");
    return *number;
}

// A file that cannot be restored now but may be at the next start: its journal stays where
// it is.
class NotNow : public Error {
  public:
    using Error::Error;
};

// Whether HDF5's refusal to open a master says the file is damaged, rather than that it
// cannot be opened just now (a lock held, descriptors or memory short).
bool reports_damage(const std::string& reason) {
    for (const char* passing : {"lock", "Too many open files", "Cannot allocate memory",
                                "Permission denied", "Resource temporarily unavailable"}) {
        if (reason.find(passing) != std::string::npos) return false;
    }
    return true;
}

}  // namespace

void Scrivell::restore() {
    if (!journal_dir_) return;
    // The notifications owed before the crash go first, in their order. They are written
    // into a new journal, which then takes the old one's place in one rename: a crash at any
    // point leaves one whole journal of them.
    const std::string outbox_path = journal_dir_->outbox_journal();
    // A new journal left by a crash during the last restore never took the old one's place.
    for (const auto& entry : std::filesystem::directory_iterator(journal_dir_->path())) {
        if (entry.path().filename().string().rfind(".outbox-new-", 0) == 0) {
            std::error_code ignored;
            std::filesystem::remove(entry.path(), ignored);
        }
    }
    std::vector<zelt::Map> owed;
    if (!outbox_path.empty()) {
        try {
            const JournalRecords read = read_journal(outbox_path);
            std::map<std::int64_t, zelt::Map> posted;
            for (std::size_t i = 1; i < read.records.size(); ++i) {
                const auto* record = read.records[i].as<zelt::Map>();
                if (!record) continue;
                const std::string op = text_of(*record, "op");
                if (op == "post") posted.emplace(integer_of(*record, "n"), *record);
                if (op == "sent") posted.erase(integer_of(*record, "n"));
            }
            for (auto& [n, record] : posted) owed.push_back(std::move(record));
        } catch (const Error& error) {
            owed.clear();
            spdlog::error(
                "journal \"{}\" of the owed notifications cannot be read ({}); moved "
                "aside to \"{}\"",
                outbox_path, error.what(), journal_dir_->move_aside(outbox_path));
        }
    }
    JournalFile outbox_journal = JournalFile::create(journal_dir_->path(), ".outbox-new",
                                                     {{"kind", "outbox"}}, journal_dir_->sync());
    const std::string new_name = std::filesystem::path(outbox_journal.path()).filename();
    const std::string settled = outbox_path.empty() || !std::filesystem::exists(outbox_path)
                                    ? journal_dir_->path() + "/outbox-" +
                                          new_name.substr(std::string(".outbox-new-").size())
                                    : outbox_path;
    outbox_.keep_journal(std::move(outbox_journal));
    for (const zelt::Map& record : owed) {
        const std::string* file = field(record, "file").as<std::string>();
        const std::string held_by = text_of(record, "held_by");
        outbox_.post(text_of(record, "message"), text_of(record, "what"), file ? *file : held_by,
                     !held_by.empty());
    }
    outbox_.write_journal_as(settled);
    if (!owed.empty()) {
        spdlog::warn("restored {} owed notifications; {} still wait for a broker", owed.size(),
                     outbox_.size());
    }

    // Files in the order they were opened.
    std::vector<std::pair<std::int64_t, std::string>> journals;
    for (const std::string& path : journal_dir_->file_journals()) {
        std::int64_t opened = 0;
        try {
            const JournalRecords read = read_journal(path);
            opened = integer_of(*read.records.front().as<zelt::Map>(), "opened_ns");
        } catch (const Error&) {
        }
        journals.emplace_back(opened, path);
    }
    std::sort(journals.begin(), journals.end());
    for (const auto& [opened, path] : journals) {
        // A file that fails to restore is never half served: restore_file leaves it out of
        // the tables.
        std::string filepath;
        try {
            restore_file(path, filepath);
        } catch (const NotNow& error) {
            spdlog::error("journal \"{}\" is not restored now, and is kept for the next start: {}",
                          path, error.what());
        } catch (const std::exception& error) {
            const std::string aside = journal_dir_->move_aside(path);
            spdlog::error("journal \"{}\" cannot be restored ({}); moved aside to \"{}\"", path,
                          error.what(), aside);
            // Its file's next waiting close hears of it.
            if (!filepath.empty()) {
                unopened_failures_->add(filepath, "restore " + in_quotes(filepath) +
                                                      ": its journal could not be restored (" +
                                                      error.what() + "); it is kept as " +
                                                      in_quotes(aside));
            }
        }
    }
    write_journals();
}

void Scrivell::restore_file(const std::string& journal_path, std::string& filepath) {
    JournalRecords read = read_journal(journal_path);
    const zelt::Map& header = *read.records.front().as<zelt::Map>();
    if (field(header, "kind") != zelt::Value("file")) throw Error("not the journal of a file");
    filepath = text_of(header, "filepath");
    const bool created = field(header, "created") == zelt::Value(true);
    if (files.contains(filepath)) throw Error(in_quotes(filepath) + " has a second journal");
    std::shared_ptr<const Directory> dir = Directory::of_master(filepath, data_roots_);
    const std::optional<OpenedMaster> opened =
        open_master_file(*dir, filepath, /*after_crash=*/true);
    if (!opened) throw Error("its master file " + in_quotes(filepath) + " is missing");
    hid_t id = opened->id;
    std::string rebuilt;
    if (id < 0) {
        const std::string& reason = opened->refusal;
        if (!reports_damage(reason)) {
            throw NotNow("its master file " + in_quotes(filepath) + " cannot be opened: " + reason);
        }
        // Beyond repair: rebuilt from the journal, the damaged file kept beside it.
        const std::string name = base_name(filepath);
        const std::string damaged = filepath + ".damaged";
        if (!dir->rename_new(name, name + ".damaged")) {
            throw Error("the master file cannot be opened, and " + in_quotes(damaged) +
                        " is in the way of keeping it");
        }
        id = create_master_file(*dir, filepath);
        rebuilt = created ? "rebuilt whole from the journal (the damaged file is kept as " +
                                in_quotes(damaged) + ")"
                          : "rebuilt with what the service wrote into it (the damaged original "
                            "is kept as " +
                                in_quotes(damaged) + ")";
    }
    FileEntry& entry =
        files.insert_or_assign(filepath, FileEntry{MasterFileHandle{id}, dir, {}, {}, {}, {}, {}});
    try {
        restore_into(entry, filepath, read, journal_path, rebuilt);
    } catch (...) {
        // Out of the tables again, and its journal closed: nothing journals into a file that
        // is moved aside.
        for (const auto& [name, dataset] : entry.files_nosplit)
            held_bytes_ -= dataset.values.bytes();
        files.erase(filepath);
        throw;
    }
}

void Scrivell::restore_into(FileEntry& entry, const std::string& filepath, JournalRecords& read,
                            const std::string& journal_path, const std::string& rebuilt) {
    const hid_t id = entry.fp.id();
    const std::shared_ptr<const Directory>& dir = entry.dir;
    // What cannot be kept is named at ERROR and told to the file's next waiting close; it
    // costs its record, dataset or block, never the rest of the journal. Held by the file
    // like any failure, and journaled once the journal is resumed: a record that cannot be
    // restored fails again at the next start, a block kept aside does not.
    const auto cannot_keep = [&](const std::string& what) {
        const std::string error = "restore " + in_quotes(filepath) + ": " + what;
        spdlog::error("{}", error);
        commit(entry, records::RequestFailed{error}, held_bytes_);
    };
    for (std::size_t i = 1; i < read.records.size(); ++i) {
        Record record;
        try {
            record = decode(read.records[i]);
            apply(entry, record, held_bytes_);
        } catch (const Error& error) {
            cannot_keep("journal record " + std::to_string(i) +
                        " was not restored: " + error.what());
            continue;
        }
        // What the tables do not hold: a rebuilt master gets its values and links again.
        if (const auto* map = std::get_if<records::MapWritten>(&record)) {
            if (rebuilt.empty()) continue;
            for (const auto& [path, leaf] : map->map) {
                try {
                    write_leaf(id, path, leaf, map->recreate, filepath);
                } catch (const Error& error) {
                    spdlog::error("restore \"{}\": {}", filepath, error.what());
                }
            }
        } else if (const auto* done = std::get_if<records::BlockDone>(&record)) {
            if (rebuilt.empty()) continue;
            const SplitStream* split = entry.files_split.find(done->name);
            create_external_link(id, link_path(done->name, done->index),
                                 sub_file_name(split ? split->stem : "", done->index),
                                 "/entry/data/data");
        }
    }
    entry.journal = JournalFile::resume(journal_path, read.valid_bytes, journal_dir_->sync());
    // Blocks being filled are taken up where their rows end; one that was full and renamed
    // but not yet linked and announced is completed now.
    std::string split_report;
    for (auto& [name, split] : entry.files_split) {
        if (!split.filling) continue;
        try {
            take_up_block(entry, filepath, name, split);
        } catch (const Error& error) {
            // The block's file stays as it is, under a name no later block takes.
            const std::int64_t index = split.filling->index;
            std::string kept;
            const std::string hidden = hidden_name(sub_file_name(split.stem, index));
            if (!split.block && dir->kind_of(hidden) != Directory::Kind::None) {
                const std::string aside = hidden + ".unrestorable";
                kept = dir->rename_new(hidden, aside)
                           ? "; its rows are kept in " + in_quotes(dir->path_of(aside))
                           : "; its rows are kept in " + in_quotes(dir->path_of(hidden));
            }
            cannot_keep("block " + std::to_string(index) + " of " + in_quotes(name) +
                        " was not taken up: " + error.what() + kept);
        }
        split_report += (split_report.empty() ? "" : ", ") + in_quotes(name) + " at block " +
                        std::to_string(split.splitFileIndex) + " with " +
                        std::to_string(split.block ? split.block->rows_written() : 0) + " rows";
    }
    entry.fp.flush(filepath);
    entry.journal->write();
    std::size_t values = 0;
    for (const auto& [name, dataset] : entry.files_nosplit) values += dataset.values.size();
    spdlog::warn(
        "restored \"{}\" from its journal{}: {} appendable datasets with {} values; split "
        "datasets: {}",
        filepath, rebuilt.empty() ? "" : ", " + rebuilt, entry.files_nosplit.size(), values,
        split_report.empty() ? "none" : split_report);
}

void Scrivell::take_up_block(FileEntry& entry, const std::string& filepath, const std::string& name,
                             SplitStream& split) {
    const std::shared_ptr<const Directory>& dir = entry.dir;
    const std::string block_name = sub_file_name(split.stem, split.filling->index);
    if (dir->kind_of(hidden_name(block_name)) != Directory::Kind::None) {
        split.block =
            StreamingBlock::take_up(dir, block_name, split.splitSize,
                                    RowLayout::from(split.filling->typestr, split.filling->shape),
                                    split.filling->rows, split.compression);
        split.block_started = std::chrono::steady_clock::now();
    }
    if (split.filling->full_message) {
        // Full before the crash, renamed or not: finished by the same sequence as any block.
        // A copy: finishing closes its account.
        const std::string message = *split.filling->full_message;
        if (split.block || dir->kind_of(block_name) == Directory::Kind::Regular) {
            StreamContext context = context_of(entry, filepath);
            split.finish_block(context, name, message, false);
        }
    } else if (!split.block) {
        throw Error("its rows are missing: " + in_quotes(dir->path_of(hidden_name(block_name))) +
                    " is gone");
    }
}

}  // namespace scrivell
