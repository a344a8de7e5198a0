#include "SplitStream.hpp"

#include <spdlog/spdlog.h>

#include <zelt/overload.hpp>

#include "Outbox.hpp"
#include "compression_pool.hpp"
#include "h5/h5.hpp"
#include "requests.hpp"
#include "split_files.hpp"
#include "text.hpp"

namespace scrivell {

namespace {

void log_sub_file(const StreamingBlock& block, std::chrono::steady_clock::time_point started) {
    if (!spdlog::should_log(spdlog::level::info)) return;
    const double mib = static_cast<double>(block.raw_bytes()) / (1 << 20);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (block.compression().none()) {
        spdlog::info("sub-file \"{}\": {} rows, {:.1f} MiB, {:.3f} s", block.path(),
                     block.rows_written(), mib, seconds);
        return;
    }
    const double stored = static_cast<double>(block.stored_bytes());
    spdlog::info("sub-file \"{}\": {} rows, {:.1f} MiB, {:.3f} s, {} compression ratio {:.2f}",
                 block.path(), block.rows_written(), mib, seconds, block.compression().name(),
                 stored > 0 ? static_cast<double>(block.raw_bytes()) / stored : 0.0);
}

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

std::string scan_run(const zelt::Map& record, const std::string& path) {
    return notification_json("scan_run", zelt::find_or_null(record, "identify"),
                             zelt::find_or_null(record, "CTType"), path, "/entry/data/data");
}

}  // namespace

SplitSettings SplitSettings::from_options(const zelt::Map& options, const std::string& where) {
    SplitSettings out;
    for (const auto& [key, value] : options) {
        if (out.compression.take_option(key, value, where)) continue;
        if (key != "vds") {
            throw Error(where + ": unknown option " + in_quotes(key) +
                        "; the options are \"compression\", \"compression_level\" and \"vds\"");
        }
        const bool* on = value.as<bool>();
        if (!on) {
            throw Error(where + ": \"vds\" " + zelt::to_text(value) +
                        " is not a boolean (true or false)");
        }
        out.vds = *on;
    }
    out.compression.check_available();
    return out;
}

std::pair<std::string, SplitSettings> SplitSettings::from_element(const zelt::Value& element,
                                                                  const std::string& where) {
    const auto* pair = element.as<zelt::List>();
    if (!pair || pair->size() < 2 || pair->size() > 3) {
        throw Error(where + " is not a pair [name, splitSize] or [name, splitSize, options]");
    }
    SplitSettings settings;
    if (pair->size() == 3) {
        const auto* options = (*pair)[2].as<zelt::Map>();
        if (!options) throw Error(where + ": the third element, the options, is not a map");
        settings = from_options(*options, where);
    }
    const std::string* name = (*pair)[0].as<std::string>();
    if (!name) throw Error(where + ": the dataset name is not a text");
    settings.splitSize = block_rows((*pair)[1], where);
    return {*name, std::move(settings)};
}

SplitStream::SplitStream(std::string name, SplitSettings settings, StreamOwner& file,
                         Services& services)
    : name_(std::move(name)), settings_(std::move(settings)), file_(&file), services_(&services) {}

StreamCounts SplitStream::counts() const {
    StreamCounts counts;
    counts.blocks_finished = blocks_complete();
    counts.frames_finished = frames_finished_;
    counts.rows_pending = static_cast<std::int64_t>(pending_.size());
    counts.raw_bytes = raw_finished_;
    counts.stored_bytes = stored_finished_;
    // A block a restart could not take up holds nothing a reader finds.
    if (block_ && !block_->finished()) {
        counts.rows_written = block_->rows_written();
        counts.rows_readable = block_->rows_readable();
        counts.raw_bytes += block_->raw_bytes();
        counts.stored_bytes += block_->stored_bytes();
    }
    return counts;
}

SplitStream::BlockAccount& SplitStream::filling(const char* what) {
    if (!filling_) {
        throw Error(std::string("the journal ") + what + " a block of " + in_quotes(name_) +
                    " that was never started");
    }
    return *filling_;
}

void SplitStream::apply(const Record& record) {
    using namespace records;
    std::visit(
        zelt::Overload{
            [&](const BlockStarted& r) {
                RowLayout layout = RowLayout::from(r.typestr, r.shape);
                if (!first_layout_) first_layout_ = layout;
                next_index_ = r.index;
                filling_ = BlockAccount{r.index, std::move(layout), 0, std::nullopt};
            },
            [&](const RowWritten&) { filling("fills").rows += 1; },
            [&](const BlockFull& r) { filling("fills").full_message = r.message; },
            [&](const BlockDone& r) {
                // A block the journal never saw begin was a full one.
                frames_finished_ += filling_ ? filling_->rows : settings_.splitSize;
                next_index_ = r.index + 1;
                stored_finished_ += r.stored_bytes;
                raw_finished_ += r.raw_bytes;
                filling_.reset();
                set_block(nullptr);
            },
            [&](const auto&) {
                throw Error("split dataset " + in_quotes(name_) + " is given a record of its file");
            },
        },
        record);
}

void SplitStream::set_block(std::unique_ptr<StreamingBlock> block) {
    block_descriptors_.release();
    block_ = std::move(block);
    if (block_) {
        block_descriptors_ = services_->budget.hold(
            Budget::Kind::Descriptors,
            stored_in_chunks(settings_.compression, block_->layout()) ? 2 : 1);
    }
}

void SplitStream::start_block(const RowLayout& layout, const std::string& where) {
    // Everything that would refuse the block is checked before its file exists; its
    // notification will be held until a broker takes it.
    Budget& budget = services_->budget;
    if (!services_->outbox.settings().bootstrap_servers.empty()) {
        budget.refuse_beyond_memory(max_notification_bytes, where);
    }
    if (settings_.vds && first_layout_ && next_index_ > 0 &&
        (layout.typestr != first_layout_->typestr || layout.shape != first_layout_->shape)) {
        throw Error(where +
                    ": its frames are stacked in one virtual dataset (\"vds\"), so every "
                    "block's frames are alike; this one is " +
                    layout.describe() + ", block 0's " + first_layout_->describe() +
                    "; the item is written nowhere");
    }
    budget.refuse_beyond_descriptors(stored_in_chunks(settings_.compression, layout) ? 2 : 1,
                                     where);
    const Compression& compression = settings_.compression;
    if (layout.row_bytes > compression.max_row_bytes()) {
        throw Error(where + ": an item of " + std::to_string(layout.row_bytes) +
                    " bytes is more than one " + compression.name() + " chunk holds (" +
                    std::to_string(compression.max_row_bytes()) +
                    " bytes); register the dataset with another compression");
    }
    const std::string link = link_path(name_, next_index_);
    if (h5::path_exists(file_->master(), link)) {
        throw Error(where + ": block " + std::to_string(next_index_) + " would be linked at " +
                    in_quotes(link) + " in " + in_quotes(file_->path()) + ", which holds " +
                    holder_of(file_->master(), link) +
                    "; register the dataset under a new name or in a new file");
    }
    const std::string block_name = sub_file_name(settings_.stem, next_index_);
    refuse_other_scan_block(*file_->directory(), block_name, where);
    records::BlockStarted started{name_, next_index_, layout.typestr, layout.shape};
    set_block(StreamingBlock::start(file_->directory(), block_name, settings_.splitSize, layout,
                                    compression));
    block_started_ = std::chrono::steady_clock::now();
    file_->commit(started);
}

void SplitStream::append(const zelt::Value& item, const zelt::Map& record) {
    const std::string where = "split dataset " + in_quotes(name_);
    if (block_ && block_->full()) {
        // A full block whose finishing failed before (its rename or link) is finished first;
        // this item goes to the next block. A failure here fails this item, written nowhere.
        finish_block(scan_run(record, block_->path()), false);
    }
    if (!block_) start_block(RowLayout::of(item, where), where);
    StreamingBlock& block = *block_;
    const auto* array = item.as<zelt::NdArray>();
    if (array) block.refuse_unless_fits(*array, where);
    if (const zelt::Value* identify = zelt::find(record, "identify");
        identify && services_->outbox.sends_progress()) {
        identify_ = *identify;
    }
    const StreamCounts before = counts();
    // The notification of the block this item completes is built before its row is written:
    // an "identify" without a JSON form fails the request before it changes anything.
    std::string message;
    if (before.rows_written + before.rows_pending + 1 == settings_.splitSize) {
        message = scan_run(record, block.path());
    }
    if (array && array->precompressed()) {
        pass_through(*array, where);
    } else if (array && stored_in_chunks(settings_.compression, block.layout())) {
        // A worker compresses it while the next requests are taken.
        queue(*array, where);
    } else {
        write_row(item, where);
    }
    // The block is finished once its last row is in; rows still with a worker are written
    // first.
    if (before.rows_written + before.rows_pending + 1 < settings_.splitSize) return;
    write_pending();
    if (!block.full()) return;
    // Written and linked: the item is done, whenever a broker takes the notification.
    finish_block(std::move(message), false);
}

void SplitStream::write_row(const zelt::Value& item, const std::string& where) {
    const std::uint64_t stored_before = block_->stored_bytes();
    block_->write(item, where);
    file_->commit(records::RowWritten{name_});
    count_row(stored_before);
}

void SplitStream::finish_block(std::string message, bool held_by_close) {
    const std::string final_name = sub_file_name(settings_.stem, next_index_);
    const std::string what = "scan_run for " + in_quotes(file_->directory()->path_of(final_name));
    std::uint64_t raw = 0;
    std::uint64_t stored = 0;
    if (block_) {
        // On disk before the sub-file takes its final name: a restart that finds the block
        // renamed but not yet linked completes it and announces it with this message.
        file_->commit(records::BlockFull{name_, message});
        file_->write_journal();
        writeSubDataFile(file_->master(), name_, next_index_, *block_, services_->sync);
        raw = block_->raw_bytes();
        stored = block_->stored_bytes();
    } else {
        BlockAccount& account = filling("finishes");
        link_block(file_->master(), name_, next_index_, final_name);
        // Renamed before a crash: its rows as the journal counted them; what they take in
        // the file is not counted.
        raw = static_cast<std::uint64_t>(account.rows) * account.layout.row_bytes;
    }
    file_->flush();
    if (block_) log_sub_file(*block_, block_started_);
    // The block is written once: whatever becomes of its notification, the next items go to
    // the next block.
    file_->commit(records::BlockDone{name_, next_index_, stored, raw});
    ++services_->counters.blocks_finished;
    services_->outbox.post(std::move(message), what, file_->path(), held_by_close);
    tell_progress(/*final=*/false);
}

void SplitStream::count_row(std::uint64_t stored_before) {
    Counters& counters = services_->counters;
    ++counters.frames_written;
    Counters::Bytes& bytes = counters.bytes_by_codec[settings_.compression.name()];
    bytes.raw += block_->layout().row_bytes;
    bytes.stored += block_->stored_bytes() - stored_before;
}

void SplitStream::pass_through(const zelt::NdArray& array, const std::string& where) {
    const Compression& compression = settings_.compression;
    if (compression.codec != Compression::Codec::Bslz4 || array.codec() != "bslz4") {
        throw Error(where + ": a pre-compressed " + array.codec() + " frame goes only into " +
                    "a split dataset registered with {\"compression\": \"bslz4\"}; this one " +
                    "is registered with " + in_quotes(compression.name()));
    }
    if (std::string why = why_not_bslz4_chunk(array.data(), array.size_bytes(), array.raw_bytes(),
                                              array.item_size(), services_->verify_precompressed);
        !why.empty()) {
        throw Error(where + ": the pre-compressed frame is no bslz4 chunk of " + array.describe() +
                    ": " + why + "; its row is left to the next frame");
    }
    if (pending_.empty()) {
        const std::uint64_t stored_before = block_->stored_bytes();
        block_->write_chunk(array.data(), array.size_bytes(), where);
        file_->commit(records::RowWritten{name_});
        count_row(stored_before);
        return;
    }
    // In its turn, behind the rows still with a worker.
    std::promise<std::vector<char>> ready;
    ready.set_value(std::vector<char>(array.data(), array.data() + array.size_bytes()));
    pending_.push_back({ready.get_future(), zelt::Value(),
                        services_->budget.hold(Budget::Kind::Rows, array.raw_bytes()), where});
}

void SplitStream::queue(const zelt::NdArray& array, const std::string& where) {
    // The worker reads the row after the request is done: a row in the caller's buffer is
    // copied. One in a shared slot is not: the slot stays held, and its client cannot reuse
    // it, until the row is written; what a client writes into a slot it sent is its own loss.
    zelt::NdArray row = array.owner() ? array : array.owned_copy();
    std::future<std::vector<char>> chunk = services_->pool.submit(
        settings_.compression, row.data(), row.size_bytes(), row.item_size());
    Budget::Hold held = services_->budget.hold(Budget::Kind::Rows, row.size_bytes());
    pending_.push_back({std::move(chunk), zelt::Value(std::move(row)), std::move(held), where});
    // Back-pressure: the rows waiting count in the memory the service may hold, and the
    // request loop waits for the oldest ones rather than hold more; those of other files too,
    // when these are not enough.
    Budget& budget = services_->budget;
    while (budget.rows_must_wait() && !pending_.empty()) write_pending(pending_.size() - 1);
    if (budget.rows_must_wait()) budget.reclaim();
    // Rows their workers are done with go to disk now, and their slots back.
    write_pending(0, /*ready_only=*/true);
}

void SplitStream::write_pending(std::size_t keep, bool ready_only) {
    while (pending_.size() > keep) {
        PendingRow& row = pending_.front();
        if (ready_only &&
            row.chunk.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            return;
        }
        try {
            const std::vector<char> chunk = row.chunk.get();
            if (!block_) throw Error("its block is gone");
            const std::uint64_t stored_before = block_->stored_bytes();
            block_->write_chunk(chunk.data(), chunk.size(), row.where);
            file_->commit(records::RowWritten{name_});
            count_row(stored_before);
        } catch (const std::exception& error) {
            const std::string reason = row.where + ": a row was not written: " + error.what();
            spdlog::error("{}", reason);
            file_->commit(records::RequestFailed{reason});
        }
        pending_.pop_front();
    }
}

void SplitStream::discard() {
    write_pending();
    if (block_) block_->discard();
}

bool SplitStream::finish_last_block(const zelt::Map& record, bool held_by_close) {
    write_pending();
    if (!block_) return false;
    if (block_->rows_written() == 0) {
        block_->discard();
        set_block(nullptr);
        return false;
    }
    // The close waits for the notifications of its own last blocks, not for earlier ones.
    finish_block(scan_run(record, block_->path()), held_by_close);
    return true;
}

std::string SplitStream::make_stack() {
    if (!settings_.vds) return "";
    const StreamCounts now = counts();
    if (now.blocks_finished == 0 || !first_layout_) return "";
    return create_block_stack(file_->master(), file_->path(), name_, settings_.stem,
                              settings_.splitSize, now.frames_readable(), first_layout_->typestr,
                              first_layout_->shape);
}

void SplitStream::publish() {
    if (block_ && !block_->finished()) block_->publish();
}

bool SplitStream::progress_due(std::chrono::steady_clock::time_point now) const {
    const std::int64_t taken = counts().frames_taken();
    if (taken <= progress_told_) return false;
    const VeskSettings& settings = services_->outbox.settings();
    return !progress_at_ || taken - progress_told_ >= settings.progress_frames ||
           now - *progress_at_ >= std::chrono::milliseconds(settings.progress_ms);
}

void SplitStream::tell_progress(bool final) {
    Outbox& outbox = services_->outbox;
    if (!outbox.sends_progress()) return;
    const StreamCounts now = counts();
    progress_told_ = now.frames_readable();
    progress_at_ = std::chrono::steady_clock::now();
    outbox.post_progress(file_->path() + '\n' + name_,
                         progress_json(identify_, file_->path(), name_, progress_told_,
                                       now.blocks_finished, current(), final));
}

zelt::Value SplitStream::current() const {
    if (!block_ || block_->finished()) return zelt::Value();
    return zelt::Map{{"file", block_->hidden_path()},
                     {"first_frame", blocks_complete() * settings_.splitSize},
                     {"rows", block_->rows_readable()},
                     {"swmr", block_->swmr()}};
}

zelt::Map SplitStream::status() const {
    const StreamCounts now = counts();
    zelt::Map described{
        {"splitFileIndex", next_index_},
        {"splitSize", settings_.splitSize},
        {"compression", settings_.compression.name()},
        {"bytes_written", now.stored_bytes},
        {"raw_bytes", now.raw_bytes},
        {"rows", now.rows_written},
        {"frames_readable", now.frames_readable()},
        {"stem", settings_.stem},
        {"sub_files", sub_file_pattern(file_->directory()->path(), settings_.stem)}};
    zelt::Value block = current();
    if (!block.is_null()) described.emplace_back("current", std::move(block));
    return described;
}

void SplitStream::take_up() {
    const std::shared_ptr<const Directory>& dir = file_->directory();
    const BlockAccount account = filling("takes up");
    const std::string block_name = sub_file_name(settings_.stem, account.index);
    if (dir->kind_of(hidden_name(block_name)) != Directory::Kind::None) {
        set_block(StreamingBlock::take_up(dir, block_name, settings_.splitSize, account.layout,
                                          account.rows, settings_.compression));
        block_started_ = std::chrono::steady_clock::now();
    }
    if (account.full_message) {
        // Full before the crash, renamed or not: finished by the same sequence as any block.
        if (block_ || dir->kind_of(block_name) == Directory::Kind::Regular) {
            finish_block(*account.full_message, false);
        }
    } else if (!block_) {
        throw Error("its rows are missing: " + in_quotes(dir->path_of(hidden_name(block_name))) +
                    " is gone");
    }
}

std::string SplitStream::keep_aside() {
    // The block's file stays as it is, under a name no later block takes.
    if (block_ || !filling_) return "";
    const std::shared_ptr<const Directory>& dir = file_->directory();
    const std::string hidden = hidden_name(sub_file_name(settings_.stem, filling_->index));
    if (dir->kind_of(hidden) == Directory::Kind::None) return "";
    const std::string aside = hidden + ".unrestorable";
    return dir->rename_new(hidden, aside)
               ? "; its rows are kept in " + in_quotes(dir->path_of(aside))
               : "; its rows are kept in " + in_quotes(dir->path_of(hidden));
}

}  // namespace scrivell
