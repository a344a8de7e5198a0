#include "SplitStream.hpp"

#include <spdlog/spdlog.h>

#include "Outbox.hpp"
#include "compression_pool.hpp"
#include "file_state.hpp"
#include "file_table.hpp"
#include "h5/h5.hpp"
#include "split_files.hpp"
#include "text.hpp"

namespace scrivell {

namespace {

void log_sub_file(const StreamingBlock& block, std::chrono::steady_clock::time_point started) {
    if (!spdlog::should_log(spdlog::level::info)) return;
    const double mib = static_cast<double>(block.rows_written()) *
                       static_cast<double>(block.layout().row_bytes) / (1 << 20);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (block.compression().none()) {
        spdlog::info("sub-file \"{}\": {} rows, {:.1f} MiB, {:.3f} s", block.path(),
                     block.rows_written(), mib, seconds);
        return;
    }
    const double raw =
        static_cast<double>(block.rows_written()) * static_cast<double>(block.layout().row_bytes);
    const double stored = static_cast<double>(block.stored_bytes());
    spdlog::info("sub-file \"{}\": {} rows, {:.1f} MiB, {:.3f} s, {} compression ratio {:.2f}",
                 block.path(), block.rows_written(), mib, seconds, block.compression().name(),
                 stored > 0 ? raw / stored : 0.0);
}

}  // namespace

std::int64_t SplitStream::rows_taken() const {
    return (block ? block->rows_written() : 0) + static_cast<std::int64_t>(pending.size());
}

void SplitStream::finish_block(StreamContext& context, const std::string& name, std::string message,
                               bool held_by_close) {
    FileEntry& entry = context.entry;
    const std::string final_name = sub_file_name(stem, splitFileIndex);
    const std::string what = "scan_run for " + in_quotes(entry.dir->path_of(final_name));
    std::uint64_t raw = 0;
    std::uint64_t stored = 0;
    if (block) {
        // On disk before the sub-file takes its final name: a restart that finds the block
        // renamed but not yet linked completes it and announces it with this message.
        commit(entry, records::BlockFull{name, message}, context.held_bytes);
        if (entry.journal) entry.journal->write();
        writeSubDataFile(entry.fp.id(), name, splitFileIndex, *block, context.sync);
        raw = static_cast<std::uint64_t>(block->rows_written()) * block->layout().row_bytes;
        stored = block->stored_bytes();
    } else {
        if (!filling) throw Error("split dataset " + in_quotes(name) + " has no block to finish");
        link_block(entry.fp.id(), name, splitFileIndex, final_name);
        // Renamed before a crash: its rows as the journal counted them; what they take in
        // the file is not counted.
        raw = static_cast<std::uint64_t>(filling->rows) *
              RowLayout::from(filling->typestr, filling->shape).row_bytes;
    }
    entry.fp.flush(context.filepath);
    if (block) log_sub_file(*block, block_started);
    // A last block at close may hold fewer rows than splitSize.
    const std::int64_t rows = block ? block->rows_written() : filling->rows;
    // The block is written once: whatever becomes of its notification, the next items go to
    // the next block.
    commit(entry, records::BlockDone{name, splitFileIndex, stored, raw}, context.held_bytes);
    short_by = splitSize - rows;
    ++context.counters.blocks_finished;
    context.outbox.post(std::move(message), what, context.filepath, held_by_close);
    tell_progress(context, name, /*final=*/false);
}

void SplitStream::count_row(StreamContext& context, std::uint64_t stored_before) const {
    ++context.counters.frames_written;
    Counters::Bytes& bytes = context.counters.bytes_by_codec[compression.name()];
    bytes.raw += block->layout().row_bytes;
    bytes.stored += block->stored_bytes() - stored_before;
}

void SplitStream::tell_progress(StreamContext& context, const std::string& name, bool final) {
    if (!context.outbox.sends_progress()) return;
    progress_told = frames_readable();
    progress_at = std::chrono::steady_clock::now();
    context.outbox.post_progress(context.filepath + '\n' + name,
                                 progress_json(identify, context.filepath, name, progress_told,
                                               blocks_complete(), current(), final));
}

std::int64_t SplitStream::frames_of_finished_blocks() const {
    return blocks_complete() * splitSize - short_by;
}

std::int64_t SplitStream::frames_taken() const {
    return frames_of_finished_blocks() + rows_taken();
}

bool SplitStream::progress_due(const VeskSettings& settings,
                               std::chrono::steady_clock::time_point now) const {
    const std::int64_t taken = frames_taken();
    if (taken <= progress_told) return false;
    return !progress_at || taken - progress_told >= settings.progress_frames ||
           now - *progress_at >= std::chrono::milliseconds(settings.progress_ms);
}

void SplitStream::pass_through(StreamContext& context, const std::string& name,
                               const zelt::NdArray& array, bool verify, const std::string& where) {
    if (compression.codec != Compression::Codec::Bslz4 || array.codec() != "bslz4") {
        throw Error(where + ": a pre-compressed " + array.codec() + " frame goes only into " +
                    "a split dataset registered with {\"compression\": \"bslz4\"}; this one " +
                    "is registered with " + in_quotes(compression.name()));
    }
    if (std::string why = why_not_bslz4_chunk(array.data(), array.size_bytes(), array.raw_bytes(),
                                              array.item_size(), verify);
        !why.empty()) {
        throw Error(where + ": the pre-compressed frame is no bslz4 chunk of " + array.describe() +
                    ": " + why + "; its row is left to the next frame");
    }
    if (pending.empty()) {
        const std::uint64_t stored_before = block->stored_bytes();
        block->write_chunk(array.data(), array.size_bytes(), where);
        commit(context.entry, records::RowWritten{name}, context.held_bytes);
        count_row(context, stored_before);
        return;
    }
    // In its turn, behind the rows still with a worker.
    std::promise<std::vector<char>> ready;
    ready.set_value(std::vector<char>(array.data(), array.data() + array.size_bytes()));
    pending.push_back({ready.get_future(), zelt::Value(), array.raw_bytes(), where});
    context.pending_bytes += array.raw_bytes();
}

std::uint64_t SplitStream::queue(StreamContext& context, CompressionPool& pool,
                                 const zelt::NdArray& array, const std::string& where) {
    // The worker reads the row after the request is done: a row in the caller's buffer is
    // copied. One in a shared slot is not: the slot stays held, and its client cannot reuse
    // it, until the row is written; what a client writes into a slot it sent is its own loss.
    zelt::NdArray row = array.owner() ? array : array.owned_copy();
    std::future<std::vector<char>> chunk =
        pool.submit(compression, row.data(), row.size_bytes(), row.item_size());
    const std::uint64_t raw = row.size_bytes();
    pending.push_back({std::move(chunk), zelt::Value(std::move(row)), raw, where});
    context.pending_bytes += raw;
    return raw;
}

void SplitStream::write_pending(StreamContext& context, const std::string& name, std::size_t keep,
                                bool ready_only) {
    while (pending.size() > keep) {
        PendingRow& row = pending.front();
        if (ready_only &&
            row.chunk.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            return;
        }
        try {
            const std::vector<char> chunk = row.chunk.get();
            if (!block) throw Error("its block is gone");
            const std::uint64_t stored_before = block->stored_bytes();
            block->write_chunk(chunk.data(), chunk.size(), row.where);
            commit(context.entry, records::RowWritten{name}, context.held_bytes);
            count_row(context, stored_before);
        } catch (const std::exception& error) {
            const std::string reason = row.where + ": a row was not written: " + error.what();
            spdlog::error("{}", reason);
            commit(context.entry, records::RequestFailed{reason}, context.held_bytes);
        }
        context.pending_bytes -= row.raw_bytes;
        pending.pop_front();
    }
}

std::int64_t SplitStream::frames_readable() const {
    // A block a restart could not take up holds nothing a reader finds.
    return frames_of_finished_blocks() + (block ? block->rows_readable() : 0);
}

void SplitStream::publish() {
    if (block && !block->finished()) block->publish();
}

zelt::Value SplitStream::current() const {
    if (!block || block->finished()) return zelt::Value();
    return zelt::Map{{"file", block->hidden_path()},
                     {"first_frame", blocks_complete() * splitSize},
                     {"rows", block->rows_readable()},
                     {"swmr", block->swmr()}};
}

}  // namespace scrivell
