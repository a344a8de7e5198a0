#include "OpenFile.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <string_view>
#include <unordered_set>
#include <zelt/overload.hpp>

#include "Outbox.hpp"
#include "h5/h5.hpp"
#include "map_datasets.hpp"
#include "names.hpp"
#include "requests.hpp"
#include "split_files.hpp"
#include "text.hpp"
#include "write.hpp"

namespace scrivell {

std::unique_ptr<OpenFile> OpenFile::open(const std::string& filepath,
                                         std::shared_ptr<const Directory> dir,
                                         const JournalDirectory* journals, Services& services) {
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
    auto file = std::make_unique<OpenFile>(filepath, dir, id, services);
    // The file is handed out only once it is whole: flushed, and journaled when journals are
    // kept.
    try {
        // A new file is complete on disk at once: a crash before its first write leaves a
        // file HDF5 can open, not a superblock without its objects.
        file->flush();
        if (journals) {
            file->keep_journal(JournalFile::create(
                journals->path(), "file",
                {{"kind", "file"},
                 {"filepath", filepath},
                 {"created", !existed},
                 {"opened_ns", static_cast<std::int64_t>(
                                   std::chrono::system_clock::now().time_since_epoch().count())}},
                journals->sync()));
        }
    } catch (const Error&) {
        file.reset();  // closes the file, unless HDF5 lost it
        if (!existed) dir->remove_quietly(base_name(filepath));
        throw;
    }
    return file;
}

OpenFile::OpenFile(std::string filepath, std::shared_ptr<const Directory> dir, hid id,
                   Services& services)
    : path_(std::move(filepath)),
      dir_(std::move(dir)),
      fp_(id),
      services_(&services),
      descriptors_(services.budget.hold(Budget::Kind::Descriptors, 2)) {}

// The streams go first: their blocks close before the master does.
OpenFile::~OpenFile() { splits_ = {}; }

void OpenFile::keep_journal(JournalFile journal) {
    journal_.emplace(std::move(journal));
    descriptors_.add(1);
}

void OpenFile::commit(const Record& record) {
    if (journal_) add_to(*journal_, record);
    apply(record);
}

void OpenFile::apply(const Record& record) {
    using namespace records;
    std::visit(zelt::Overload{
                   [](const MapWritten&) {},  // in the master already
                   [&](const AppendRegistered& r) {
                       const zelt::Value* batch = zelt::find(r.description, "batch");
                       appendable_.insert_or_assign(
                           r.name,
                           AppendDataset{r.description, batch && zelt::is_true(*batch), Column(),
                                         services_->budget.hold(Budget::Kind::Values)});
                   },
                   [&](const Appended& r) {
                       // Every name first: a record that does not fit changes nothing.
                       const zelt::Map* values = r.values ? r.values->as<zelt::Map>() : nullptr;
                       if (!values) throw Error("the journal appends values that are no map");
                       std::vector<AppendDataset*> datasets;
                       for (const auto& [name, value] : *values) {
                           AppendDataset* dataset = appendable_.find(name);
                           if (!dataset) {
                               throw Error("the journal appends to " + in_quotes(name) +
                                           ", never registered");
                           }
                           datasets.push_back(dataset);
                       }
                       for (std::size_t i = 0; i < datasets.size(); ++i) {
                           const zelt::Value& value = (*values)[i].second;
                           datasets[i]->values.push(value);
                           datasets[i]->held.add(Column::bytes_of(value));
                       }
                   },
                   [&](const SplitRegistered& r) {
                       splits_.insert_or_assign(
                           r.name, SplitStream(r.name, {r.splitSize, r.compression, r.stem, r.vds},
                                               *this, *services_));
                   },
                   [&](const SeqNoted& r) {
                       std::int64_t& last = seqs_[r.client];
                       last = std::max(last, r.seq);
                   },
                   [&](const RequestsMissing& r) { failures_.add_missing(r.first, r.last); },
                   [&](const RequestFailed& r) { failures_.add(r.error); },
                   [&](const auto& r) {
                       SplitStream* split = splits_.find(r.name);
                       if (!split) {
                           throw Error("the journal writes a block of " + in_quotes(r.name) +
                                       ", never registered");
                       }
                       split->apply(record);
                   },
               },
               record);
}

void OpenFile::write_journal() {
    if (!journal_) return;
    const auto started = std::chrono::steady_clock::now();
    if (!journal_->write()) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    Counters& counters = services_->counters;
    ++counters.journal_writes;
    counters.journal_seconds += seconds;
    for (std::size_t i = 0; i < std::size(Counters::journal_bounds); ++i) {
        if (seconds <= Counters::journal_bounds[i]) ++counters.journal_within[i];
    }
}

std::string OpenFile::close(std::string stop, const std::string& what, bool held_by_close) {
    fp_.close();
    services_->outbox.post(std::move(stop), what, path_, held_by_close);
    // The stop notification is in the outbox's journal before the file's journal goes.
    try {
        services_->outbox.write_journal();
        if (journal_) journal_->remove();
    } catch (const Error& error) {
        return error.what();
    }
    return "";
}

void OpenFile::write_map(const zelt::Map& map, bool recreate_text) {
    // Counted before a byte is allocated: long keys above many leaves would otherwise make
    // paths many times the request's size.
    const FlattenCost cost = flatten_cost(map);
    const std::uint64_t bound =
        std::max(min_flatten_bound, max_flatten_factor * cost.request_bytes);
    const std::string what = "map for " + in_quotes(path_);
    if (cost.flat_bytes > bound) {
        throw Error(what + ": its leaves' paths would take " + mib_text(cost.flat_bytes) +
                    " MiB, more than " + std::to_string(max_flatten_factor) +
                    " times the request's size; nothing was written");
    }
    services_->budget.refuse_beyond_memory(cost.flat_bytes, what);
    const OrderedMap<zelt::Value> flat = flatten(map);
    const zelt::Value empty_text("");
    zelt::Map written;  // for the journal: what a rebuilt master must hold again
    for (const auto& [path, value] : flat) {
        const zelt::Value* leaf = &value;
        if (const auto* nested = value.as<zelt::Map>(); nested && nested->empty()) {
            leaf = &empty_text;
        }
        try {
            refuse_split_links(path, "write " + in_quotes(path) + " in " + in_quotes(path_));
            write_leaf(fp_.id(), path, *leaf, recreate_text, path_);
        } catch (const Error&) {
            // The entries before it stay written: they reach the disk as a whole request's do.
            fp_.flush_after_failure();
            commit(records::MapWritten{recreate_text, std::move(written)});
            throw;
        }
        if (journal_) written.emplace_back(path, *leaf);
    }
    // A crash after the reply finds the file as the request left it.
    flush();
    commit(records::MapWritten{recreate_text, std::move(written)});
}

void OpenFile::register_appendable(const zelt::List& descriptions) {
    for (std::size_t i = 0; i < descriptions.size(); ++i) {
        const auto* description = descriptions[i].as<zelt::Map>();
        const std::string where = "description " + std::to_string(i);
        if (!description) throw Error(where + " is not a map");
        const zelt::Value* name_value = zelt::find(*description, "datasetname");
        const std::string* name = name_value ? name_value->as<std::string>() : nullptr;
        if (!name) throw Error(where + " has no text \"datasetname\"");
        refuse_taken_name(*name, /*splitting=*/false, where);
        commit(records::AppendRegistered{*name, *description});
    }
}

void OpenFile::append(const zelt::Value& values) {
    const zelt::Map& map = *values.as<zelt::Map>();
    if (map.empty()) return;
    // The values before a refused one are appended, as if sent alone.
    std::size_t accepted = 0;
    std::uint64_t adds = 0;
    std::optional<Error> refused;
    std::unordered_set<std::string_view> named;
    for (const auto& item : map) {
        const std::string& name = item.first;
        const zelt::Value& value = item.second;
        const AppendDataset* dataset = appendable_.find(name);
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
            services_->budget.refuse_beyond_memory(adds, "dataset " + in_quotes(name));
        } catch (const Error& error) {
            refused.emplace(error);
            break;
        }
        ++accepted;
    }
    if (accepted == map.size()) {
        commit(records::Appended{&values});
    } else if (accepted > 0) {
        const zelt::Value some(
            zelt::Map(map.begin(), map.begin() + static_cast<std::ptrdiff_t>(accepted)));
        commit(records::Appended{&some});
    }
    if (refused) throw *refused;
}

std::string OpenFile::split_stem(const std::string& name, const SplitSettings& settings,
                                 const std::string& where) const {
    refuse_taken_name(name, /*splitting=*/true, where, settings.vds);
    if (settings.vds && h5::path_exists(fp_.id(), name + "/data")) {
        throw Error(where + ": " + in_quotes(name + "/data") + " is in " + in_quotes(path_) +
                    " already, where \"vds\" would put the frames of all blocks; write them " +
                    "elsewhere or register without \"vds\"");
    }
    // Kept on registering again; empty for the master's first split dataset; else one of its
    // own, which no other split dataset of the master has.
    std::string stem;
    if (const SplitStream* split = splits_.find(name)) {
        stem = split->settings().stem;
    } else if (!splits_.empty()) {
        stem = sub_file_stem(name);
        for (const auto& [other, stream] : splits_) {
            if (stream.settings().stem != stem) continue;
            throw Error(where + ": split dataset " + in_quotes(name) + " would name its " +
                        "sub-files " + in_quotes(stem + "NNNN.h5") + ", as split dataset " +
                        in_quotes(other) + " does; give one of them another last name part");
        }
    }
    if (named_like_a_sub_file(path_, stem)) {
        throw Error(where + ": the master file is named like a sub-file of split dataset " +
                    in_quotes(name) + ", and its blocks are written beside it under such " +
                    "names (" + sub_file_name(stem, 0) + " and on); rename the master");
    }
    return stem;
}

void OpenFile::register_split(const std::string& name, SplitSettings settings) {
    // Registering again restarts at block 0; the rows of a block being filled are dropped
    // with its hidden file, once those still with a worker are done.
    if (SplitStream* old = splits_.find(name)) old->discard();
    commit(records::SplitRegistered{name, settings.splitSize, std::move(settings.compression),
                                    std::move(settings.stem), settings.vds});
}

void OpenFile::append_split(const zelt::Map& map, const zelt::Map& record) {
    for (const auto& [name, item] : map) {
        SplitStream* split = splits_.find(name);
        if (!split) {
            throw Error("dataset " + in_quotes(name) + " is not registered as a split dataset");
        }
        split->append(item, record);
    }
}

OpenFile::Written OpenFile::write_out(const zelt::Map& record, bool held_by_close) {
    Written written;
    for (const auto& [name, dataset] : appendable_) {
        if (dataset.values.empty()) continue;
        write_column(fp_.id(), name, dataset.values, dataset.batch, path_);
        ++written.datasets;
    }
    for (auto& [name, split] : splits_) {
        if (split.finish_last_block(record, held_by_close)) ++written.blocks;
    }
    for (auto& [name, split] : splits_) {
        if (const std::string why = split.make_stack(); !why.empty()) {
            // The close goes on, and its reply says what it left undone.
            spdlog::error("close \"{}\": {}", path_, why);
            commit(records::RequestFailed{"close " + in_quotes(path_) + ": " + why});
        }
        split.tell_progress(/*final=*/true);
    }
    return written;
}

void OpenFile::publish_and_journal() {
    for (auto& [name, split] : splits_) split.publish();
    write_journal();
}

void OpenFile::tell_progress_if_due(std::chrono::steady_clock::time_point now) {
    std::vector<SplitStream*> due;
    for (auto& [name, split] : splits_) {
        if (split.progress_due(now)) due.push_back(&split);
    }
    if (due.empty()) return;
    // A reader told of a frame may read it: after a crash the frame must come back as it
    // was, not be written over by a later one, so the journal counts it first.
    try {
        for (SplitStream* split : due) split->write_pending(0, /*ready_only=*/true);
        publish_and_journal();
    } catch (const Error& error) {
        spdlog::error("{}", error.what());  // the journal's next write says it again
        return;
    }
    for (SplitStream* split : due) split->tell_progress(/*final=*/false);
}

void OpenFile::write_pending() {
    for (auto& [name, split] : splits_) split.write_pending();
}

std::size_t OpenFile::rows_with_workers() const {
    std::size_t rows = 0;
    for (const auto& [name, split] : splits_) {
        rows += static_cast<std::size_t>(split.counts().rows_pending);
    }
    return rows;
}

std::optional<std::pair<std::int64_t, std::int64_t>> OpenFile::note_seq(const std::string& client,
                                                                        std::int64_t seq) {
    const auto known = seqs_.find(client);
    const std::int64_t last = known == seqs_.end() ? 0 : known->second;
    std::optional<std::pair<std::int64_t, std::int64_t>> missing;
    if (seq > last + 1) {
        missing.emplace(last + 1, seq - 1);
        commit(records::RequestsMissing{last + 1, seq - 1});
    }
    if (seq > last) commit(records::SeqNoted{client, seq});
    return missing;
}

zelt::Map OpenFile::status() const {
    zelt::Map appendable;
    for (const auto& [name, dataset] : appendable_) {
        appendable.emplace_back(name, static_cast<std::int64_t>(dataset.values.size()));
    }
    zelt::Map split;
    for (const auto& [name, stream] : splits_) split.emplace_back(name, stream.status());
    // The highest request number carried out per client (its identity, in hex): where a
    // client that numbers its requests stands.
    zelt::Map seqs;
    for (const auto& [client, seq] : seqs_) seqs.emplace_back(client, seq);
    return {{"appendable", std::move(appendable)},
            {"split", std::move(split)},
            {"seqs", std::move(seqs)}};
}

std::vector<std::pair<std::string, std::string>> OpenFile::split_stems() const {
    std::vector<std::pair<std::string, std::string>> stems;
    for (const auto& [name, split] : splits_) stems.emplace_back(name, split.settings().stem);
    return stems;
}

void OpenFile::refuse_split_links(const std::string& path, const std::string& what) const {
    const std::string normal = h5::normal_path(path);
    for (const auto& [name, split] : splits_) {
        if (!collides_with_split(normal, h5::normal_path(name), split.settings().vds)) continue;
        throw Error(what + ": " + in_quotes(path) + " is where split dataset " + in_quotes(name) +
                    " links its blocks (" + in_quotes(link_path(name, 0)) + " and on); write " +
                    "somewhere else");
    }
}

// A dataset name shares the file with "fp" and with the other kind of dataset: "fp" would
// lose the open file, a name of both kinds would lose one record. Names are compared as
// paths: "/a//b/" and "a/b" are one dataset in the file, so a second spelling of a registered
// name is refused rather than written over the first at close.
void OpenFile::refuse_taken_name(const std::string& name, bool splitting, const std::string& where,
                                 bool vds) const {
    if (name == "fp") throw Error(where + ": the name \"fp\" is reserved for the open file");
    if (splitting && appendable_.contains(name)) {
        throw Error(where + ": " + in_quotes(name) + " is already an appendable dataset");
    }
    if (!splitting && splits_.contains(name)) {
        throw Error(where + ": " + in_quotes(name) + " is already a split dataset");
    }
    const std::string normal = h5::normal_path(name);
    if (normal == "/") throw Error(where + ": " + in_quotes(name) + " names the root group");
    auto refuse_spelling = [&](const std::string& other) {
        if (other == name || h5::normal_path(other) != normal) return;
        throw Error(where + ": " + in_quotes(name) + " is another spelling of " + in_quotes(other) +
                    ", already registered; use that one");
    };
    for (const auto& [other, dataset] : appendable_) {
        refuse_spelling(other);
        if (splitting && other != name &&
            collides_with_split(h5::normal_path(other), normal, vds)) {
            throw Error(where + ": split dataset " + in_quotes(name) + " would link its blocks " +
                        "where appendable dataset " + in_quotes(other) + " is written");
        }
    }
    for (const auto& [other, split] : splits_) {
        refuse_spelling(other);
        if (!splitting) refuse_split_links(name, where);
        if (!splitting || other == name) continue;
        // Each links its blocks, and may make its stack, inside its own group: one inside
        // the other would take the other's links or lose its own at close.
        const std::string other_normal = h5::normal_path(other);
        const bool inside = normal.rfind(other_normal + "/", 0) == 0;
        if (inside || other_normal.rfind(normal + "/", 0) == 0) {
            throw Error(where + ": split dataset " + in_quotes(name) + " would be " +
                        (inside ? "inside" : "around") + " split dataset " + in_quotes(other) +
                        ", whose group holds its block links (" + in_quotes(link_path(other, 0)) +
                        " and on)" +
                        (split.settings().vds
                             ? " and its frames (" + in_quotes(other + "/data") + ")"
                             : "") +
                        "; register it beside, not " + (inside ? "inside" : "around"));
        }
    }
}

void OpenFile::cannot_keep(const std::string& what) {
    const std::string error = "restore " + in_quotes(path_) + ": " + what;
    spdlog::error("{}", error);
    commit(records::RequestFailed{error});
}

void OpenFile::resume(const JournalRecords& read, const std::string& journal_path,
                      const std::string& rebuilt, bool sync) {
    // What cannot be kept is named at ERROR and told to the file's next waiting close; it
    // costs its record, dataset or block, never the rest of the journal. Held by the file
    // like any failure, and journaled once the journal is resumed: a record that cannot be
    // restored fails again at the next start, a block kept aside does not.
    for (std::size_t i = 1; i < read.records.size(); ++i) {
        Record record;
        try {
            record = decode(read.records[i]);
            apply(record);
        } catch (const Error& error) {
            cannot_keep("journal record " + std::to_string(i) +
                        " was not restored: " + error.what());
            continue;
        }
        if (rebuilt.empty()) continue;
        // What the tables do not hold: a rebuilt master gets its values and links again.
        if (const auto* map = std::get_if<records::MapWritten>(&record)) {
            for (const auto& [path, leaf] : map->map) {
                try {
                    write_leaf(fp_.id(), path, leaf, map->recreate, path_);
                } catch (const Error& error) {
                    spdlog::error("restore \"{}\": {}", path_, error.what());
                }
            }
        } else if (const auto* done = std::get_if<records::BlockDone>(&record)) {
            const SplitStream* split = splits_.find(done->name);
            create_external_link(fp_.id(), link_path(done->name, done->index),
                                 sub_file_name(split ? split->settings().stem : "", done->index),
                                 "/entry/data/data");
        }
    }
    keep_journal(JournalFile::resume(journal_path, read.valid_bytes, sync));
    // Blocks being filled are taken up where their rows end; one that was full and renamed
    // but not yet linked and announced is completed now.
    std::string split_report;
    for (auto& [name, split] : splits_) {
        if (!split.has_filling()) continue;
        try {
            split.take_up();
        } catch (const Error& error) {
            cannot_keep("block " + std::to_string(split.next_block()) + " of " + in_quotes(name) +
                        " was not taken up: " + error.what() + split.keep_aside());
        }
        split_report += (split_report.empty() ? "" : ", ") + in_quotes(name) + " at block " +
                        std::to_string(split.next_block()) + " with " +
                        std::to_string(split.counts().rows_written) + " rows";
    }
    flush();
    journal_->write();
    std::size_t values = 0;
    for (const auto& [name, dataset] : appendable_) values += dataset.values.size();
    spdlog::warn(
        "restored \"{}\" from its journal{}: {} appendable datasets with {} values; split "
        "datasets: {}",
        path_, rebuilt.empty() ? "" : ", " + rebuilt, appendable_.size(), values,
        split_report.empty() ? "none" : split_report);
}

}  // namespace scrivell
