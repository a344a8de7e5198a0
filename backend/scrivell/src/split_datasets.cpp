// Split datasets: registration, and rows streamed into blocks that become sub-files.
#include <spdlog/spdlog.h>

#include <scrivell/Scrivell.hpp>

#include "Outbox.hpp"
#include "compression_pool.hpp"
#include "file_state.hpp"
#include "file_table.hpp"
#include "h5/h5.hpp"
#include "names.hpp"
#include "requests.hpp"
#include "split_files.hpp"
#include "text.hpp"

namespace scrivell {

namespace {

// What holds a link path of the master file, for the error that refuses it.
std::string holder_of(hid_t f, const std::string& path) {
    const auto target = external_link_target(f, path);
    if (!target) return "another object";
    if (target->first.empty()) return "an external link";
    return "an external link to " + in_quotes(target->second) + " in " + in_quotes(target->first) +
           ", a block written earlier";
}

// An existing file at a sub-file's name that holds "/entry/data/data" is a block of another
// scan: it is never replaced. A regular file that is no HDF5 block is stale and is replaced;
// anything else at the name (a link, a FIFO, a directory) is refused.
void refuse_other_scan_block(const Directory& dir, const std::string& name,
                             const std::string& where) {
    const Directory::Kind kind = dir.kind_of(name);
    // Nothing there, or a link, whose name is replaced itself.
    if (kind == Directory::Kind::None || kind == Directory::Kind::Link) return;
    if (!holds_a_block(dir, name)) return;
    throw Error(where + ": " + in_quotes(dir.path_of(name)) +
                " already holds a block of another scan; write this scan into a new directory");
}

// The stem of `name`'s sub-file names: kept on registering again; empty for the master's first
// split dataset; else one of its own, which no other split dataset of the master has.
std::string stem_for(const FileEntry& entry, const std::string& name, const std::string& where) {
    if (const SplitStream* split = entry.files_split.find(name)) return split->stem;
    if (entry.files_split.empty()) return "";
    std::string stem = sub_file_stem(name);
    for (const auto& [other, split] : entry.files_split) {
        if (split.stem != stem) continue;
        throw Error(where + ": split dataset " + in_quotes(name) + " would name its sub-files " +
                    in_quotes(stem + "NNNN.h5") + ", as split dataset " + in_quotes(other) +
                    " does; give one of them another last name part");
    }
    return stem;
}

}  // namespace

void Scrivell::create_dataset_append_split(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    const zelt::List& pairs = required_as<zelt::List>(record, "datainfolist", "list");
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const std::string where = "element " + std::to_string(i);
        const auto* pair = pairs[i].as<zelt::List>();
        if (!pair || pair->size() < 2 || pair->size() > 3) {
            throw Error(where + " is not a pair [name, splitSize] or [name, splitSize, options]");
        }
        Compression compression;
        bool vds = false;
        if (pair->size() == 3) {
            const auto* options = (*pair)[2].as<zelt::Map>();
            if (!options) throw Error(where + ": the third element, the options, is not a map");
            compression = Compression::from_options(*options, where);
            compression.check_available();
            if (const zelt::Value* stack = zelt::find(*options, "vds")) {
                const bool* on = stack->as<bool>();
                if (!on) {
                    throw Error(where + ": \"vds\" " + zelt::to_text(*stack) +
                                " is not a boolean (true or false)");
                }
                vds = *on;
            }
        }
        const std::string* dataname = (*pair)[0].as<std::string>();
        const zelt::Value& splitSize = (*pair)[1];
        if (!dataname) throw Error(where + ": the dataset name is not a text");
        const std::int64_t rows = block_rows(splitSize, where);
        FileEntry& entry = entry_of(filepath);
        refuse_taken_name(entry, *dataname, /*splitting=*/true, where, vds);
        if (vds && h5::path_exists(entry.fp.id(), *dataname + "/data")) {
            throw Error(where + ": " + in_quotes(*dataname + "/data") + " is in " +
                        in_quotes(filepath) + " already, where \"vds\" would put the frames " +
                        "of all blocks; write them elsewhere or register without \"vds\"");
        }
        const std::string stem = stem_for(entry, *dataname, where);
        if (named_like_a_sub_file(filepath, stem)) {
            throw Error(where + ": the master file is named like a sub-file of split dataset " +
                        in_quotes(*dataname) + ", and its blocks are written beside it under " +
                        "such names (" + sub_file_name(stem, 0) + " and on); rename the master");
        }
        // Two masters' split datasets writing into one directory could take each other's
        // sub-file names, and a block could replace an open master named like one.
        for (const auto& [other_path, other_entry] : files) {
            if (other_path == filepath || !other_entry.dir->same_as(*entry.dir)) continue;
            if (named_like_a_sub_file(other_path, stem)) {
                throw Error(where + ": split dataset " + in_quotes(*dataname) + " of " +
                            in_quotes(filepath) + " would write its sub-files beside the open " +
                            "master " + in_quotes(other_path) + ", which is named like one");
            }
            if (other_entry.files_split.empty()) continue;
            throw Error(where + ": split dataset " + in_quotes(*dataname) + " of " +
                        in_quotes(filepath) + " would write its sub-files into " +
                        in_quotes(entry.dir->path()) + ", where split dataset " +
                        in_quotes(other_entry.files_split.keys().front()) + " of " +
                        in_quotes(other_path) +
                        " writes its own; give each master with split datasets a directory of "
                        "its own");
        }
        // Registering again restarts at block 0; the rows of a block being filled are dropped
        // with its hidden file, once those still with a worker are done.
        if (SplitStream* old = entry.files_split.find(*dataname)) {
            StreamContext context = context_of(entry, filepath);
            old->write_pending(context, *dataname);
            if (old->block) old->block->discard();
        }
        commit(entry, records::SplitRegistered{*dataname, rows, compression, stem, vds},
               held_bytes_);
    }
}

void Scrivell::dataset_append_split_map(const zelt::Map& record) {
    const std::string& filepath = filepath_of(record);
    const zelt::Map& map = required_as<zelt::Map>(record, "map", "map");
    for (const auto& [k, v] : map) append_item(entry_of(filepath), filepath, k, v, record);
}

void Scrivell::append_item(FileEntry& entry, const std::string& filepath, const std::string& name,
                           const zelt::Value& item, const zelt::Map& record) {
    SplitStream* split = entry.files_split.find(name);
    if (!split) throw Error("dataset " + in_quotes(name) + " is not registered as a split dataset");
    const std::string where = "split dataset " + in_quotes(name);
    if (split->block && split->block->full()) {
        // A full block whose finishing failed before (its rename or link) is finished first;
        // this item goes to the next block. A failure here fails this item, written nowhere.
        std::string message = notification_json("scan_run", zelt::find_or_null(record, "identify"),
                                                zelt::find_or_null(record, "CTType"),
                                                split->block->path(), "/entry/data/data");
        StreamContext context = context_of(entry, filepath);
        split->finish_block(context, name, std::move(message), false);
    }
    if (!split->block) {
        // Everything that would refuse the block is checked before its file exists; its
        // notification will be held until a broker takes it.
        if (!outbox_.settings().bootstrap_servers.empty()) {
            refuse_beyond_memory_limit(max_notification_bytes, where);
        }
        RowLayout layout = RowLayout::of(item, where);
        if (split->vds && split->splitFileIndex > 0 &&
            (layout.typestr != split->typestr || layout.shape != split->shape)) {
            throw Error(where +
                        ": its frames are stacked in one virtual dataset (\"vds\"), so "
                        "every block's frames are alike; this one is " +
                        layout.describe() + ", block 0's " +
                        RowLayout::from(split->typestr, split->shape).describe() +
                        "; the item is written nowhere");
        }
        refuse_beyond_descriptors(stored_in_chunks(split->compression, layout) ? 2 : 1, where);
        if (layout.row_bytes > split->compression.max_row_bytes()) {
            throw Error(where + ": an item of " + std::to_string(layout.row_bytes) +
                        " bytes is more than one " + split->compression.name() + " chunk holds (" +
                        std::to_string(split->compression.max_row_bytes()) +
                        " bytes); register the dataset with another compression");
        }
        const std::string link = link_path(name, split->splitFileIndex);
        if (h5::path_exists(entry.fp.id(), link)) {
            throw Error(where + ": block " + std::to_string(split->splitFileIndex) +
                        " would be linked at " + in_quotes(link) + " in " + in_quotes(filepath) +
                        ", which holds " + holder_of(entry.fp.id(), link) +
                        "; register the dataset under a new name or in a new file");
        }
        const std::string block_name = sub_file_name(split->stem, split->splitFileIndex);
        refuse_other_scan_block(*entry.dir, block_name, where);
        records::BlockStarted started{name, split->splitFileIndex, layout.typestr, layout.shape};
        split->block = StreamingBlock::start(entry.dir, block_name, split->splitSize,
                                             std::move(layout), split->compression);
        split->block_started = std::chrono::steady_clock::now();
        commit(entry, started, held_bytes_);
    }
    StreamingBlock& block = *split->block;
    const auto* array = item.as<zelt::NdArray>();
    if (array) block.refuse_unless_fits(*array, where);
    if (const zelt::Value* identify = zelt::find(record, "identify");
        identify && outbox_.sends_progress()) {
        split->identify = *identify;
    }
    // The notification of the block this item completes is built before its row is written:
    // an "identify" without a JSON form fails the request before it changes anything.
    std::string message;
    if (split->rows_taken() + 1 == split->splitSize) {
        message = notification_json("scan_run", zelt::find_or_null(record, "identify"),
                                    zelt::find_or_null(record, "CTType"), block.path(),
                                    "/entry/data/data");
    }
    if (array && array->precompressed()) {
        StreamContext context = context_of(entry, filepath);
        split->pass_through(context, name, *array, verify_precompressed_, where);
    } else if (array && stored_in_chunks(split->compression, block.layout())) {
        // A worker compresses it while the next requests are taken.
        queue_row(entry, filepath, name, *split, *array, where);
    } else {
        const std::uint64_t stored_before = block.stored_bytes();
        block.write(item, where);
        commit(entry, records::RowWritten{name}, held_bytes_);
        StreamContext context = context_of(entry, filepath);
        split->count_row(context, stored_before);
    }
    // The block is finished once its last row is in; rows still with a worker are written
    // first.
    if (split->rows_taken() < split->splitSize) return;
    StreamContext context = context_of(entry, filepath);
    split->write_pending(context, name);
    if (!block.full()) return;
    // Written and linked: the item is done, whenever a broker takes the notification.
    split->finish_block(context, name, std::move(message), false);
}

StreamContext Scrivell::context_of(FileEntry& entry, const std::string& filepath) {
    return {entry,       filepath,       outbox_,  journal_dir_ && journal_dir_->sync(),
            held_bytes_, pending_bytes_, counters_};
}

void Scrivell::queue_row(FileEntry& entry, const std::string& filepath, const std::string& name,
                         SplitStream& split, const zelt::NdArray& array, const std::string& where) {
    if (!pool_) pool_ = std::make_unique<CompressionPool>(compression_threads_);
    StreamContext context = context_of(entry, filepath);
    const std::uint64_t raw = split.queue(context, *pool_, array, where);
    // Back-pressure: the rows waiting count in the memory the service may hold, and the
    // request loop waits for the oldest ones rather than hold more.
    const std::uint64_t most = std::max<std::uint64_t>(
        raw, limits_.memory_limit_bytes
                 ? std::min<std::uint64_t>(256ull << 20, limits_.memory_limit_bytes / 4)
                 : 256ull << 20);
    if (pending_bytes_ > most) {
        const auto keep = static_cast<std::size_t>(most / std::max<std::uint64_t>(raw, 1));
        split.write_pending(context, name, keep / 2);
        // Rows waiting for other files count too: with many scans at once, all of them wait.
        if (pending_bytes_ > most) write_all_pending();
    } else {
        // Rows their workers are done with go to disk now, and their slots back.
        split.write_pending(context, name, 0, /*ready_only=*/true);
    }
}

void Scrivell::write_all_pending() {
    for (auto& [filepath, entry] : files) {
        StreamContext context = context_of(entry, filepath);
        for (auto& [name, split] : entry.files_split) split.write_pending(context, name);
    }
}

}  // namespace scrivell
