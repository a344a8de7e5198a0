// Start-up after a crash: the files whose journals are in the journal directory are opened
// again and their tables rebuilt as they were after the last request carried out.
#include <spdlog/spdlog.h>

#include <filesystem>
#include <map>
#include <scrivell/Scrivell.hpp>

#include "FailedRequests.hpp"
#include "OpenFile.hpp"
#include "Outbox.hpp"
#include "h5/h5.hpp"
#include "master_file.hpp"
#include "table_rules.hpp"
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
    restore_outbox();
    // Then the files, in the order they were opened.
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

void Scrivell::restore_outbox() {
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
    outbox_->keep_journal(std::move(outbox_journal));
    for (const zelt::Map& record : owed) {
        const std::string* file = field(record, "file").as<std::string>();
        const std::string held_by = text_of(record, "held_by");
        outbox_->post(text_of(record, "message"), text_of(record, "what"), file ? *file : held_by,
                      !held_by.empty());
    }
    outbox_->write_journal_as(settled);
    if (!owed.empty()) {
        spdlog::warn("restored {} owed notifications; {} still wait for a broker", owed.size(),
                     outbox_->size());
    }
}

void Scrivell::restore_file(const std::string& journal_path, std::string& filepath) {
    JournalRecords read = read_journal(journal_path);
    const zelt::Map& header = *read.records.front().as<zelt::Map>();
    if (field(header, "kind") != zelt::Value("file")) throw Error("not the journal of a file");
    filepath = text_of(header, "filepath");
    const bool created = field(header, "created") == zelt::Value(true);
    if (files_->contains(filepath)) throw Error(in_quotes(filepath) + " has a second journal");
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
    auto file = std::make_unique<OpenFile>(filepath, dir, id, *services_);
    // A file that fails is out of the tables again, and its journal closed: nothing journals
    // into a file that is moved aside.
    file->resume(read, journal_path, rebuilt, journal_dir_->sync());
    files_->insert_or_assign(filepath, std::move(file));
}

}  // namespace scrivell
