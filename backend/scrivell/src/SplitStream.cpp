#include "SplitStream.hpp"

#include <spdlog/spdlog.h>

#include "Outbox.hpp"
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

void SplitStream::finish_block(StreamContext& context, const std::string& name,
                               std::string message, bool held_by_close) {
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
    // The block is written once: whatever becomes of its notification, the next items go to
    // the next block.
    commit(entry, records::BlockDone{name, splitFileIndex, stored, raw}, context.held_bytes);
    context.outbox.post(std::move(message), what, context.filepath, held_by_close);
}

}  // namespace scrivell
