#include "file_state.hpp"

#include <algorithm>
#include <zelt/overload.hpp>

#include "text.hpp"

namespace scrivell {

namespace {

using zelt::Overload;
using namespace records;

SplitStream& split_of(FileEntry& entry, const std::string& name) {
    SplitStream* split = entry.files_split.find(name);
    if (!split)
        throw Error("the journal writes a block of " + in_quotes(name) + ", never registered");
    return *split;
}

BlockAccount& filling_of(FileEntry& entry, const std::string& name) {
    SplitStream& split = split_of(entry, name);
    if (!split.filling) {
        throw Error("the journal fills a block of " + in_quotes(name) + " that was never started");
    }
    return *split.filling;
}

}  // namespace

void apply(FileEntry& entry, const Record& record, std::uint64_t& held_bytes) {
    std::visit(Overload{
                   [](const MapWritten&) {},  // in the master already
                   [&](const AppendRegistered& r) {
                       const zelt::Value* batch = zelt::find(r.description, "batch");
                       if (const AppendDataset* old = entry.files_nosplit.find(r.name)) {
                           held_bytes -= old->values.bytes();
                       }
                       entry.files_nosplit.insert_or_assign(
                           r.name,
                           AppendDataset{r.description, batch && zelt::is_true(*batch), Column()});
                   },
                   [&](const Appended& r) {
                       // Every name first: a record that does not fit changes nothing.
                       const zelt::Map* values = r.values ? r.values->as<zelt::Map>() : nullptr;
                       if (!values) throw Error("the journal appends values that are no map");
                       std::vector<AppendDataset*> datasets;
                       for (const auto& [name, value] : *values) {
                           AppendDataset* dataset = entry.files_nosplit.find(name);
                           if (!dataset) {
                               throw Error("the journal appends to " + in_quotes(name) +
                                           ", never registered");
                           }
                           datasets.push_back(dataset);
                       }
                       for (std::size_t i = 0; i < datasets.size(); ++i) {
                           const zelt::Value& value = (*values)[i].second;
                           datasets[i]->values.push(value);
                           held_bytes += Column::bytes_of(value);
                       }
                   },
                   [&](const SplitRegistered& r) {
                       SplitStream split;
                       split.splitSize = r.splitSize;
                       split.compression = r.compression;
                       split.stem = r.stem;
                       split.vds = r.vds;
                       entry.files_split.insert_or_assign(r.name, std::move(split));
                   },
                   [&](const BlockStarted& r) {
                       SplitStream& split = split_of(entry, r.name);
                       split.splitFileIndex = r.index;
                       split.typestr = r.typestr;
                       split.shape = r.shape;
                       split.filling = BlockAccount{r.index, r.typestr, r.shape, 0, std::nullopt};
                   },
                   [&](const RowWritten& r) { filling_of(entry, r.name).rows += 1; },
                   [&](const BlockFull& r) { filling_of(entry, r.name).full_message = r.message; },
                   [&](const BlockDone& r) {
                       SplitStream& split = split_of(entry, r.name);
                       split.splitFileIndex = r.index + 1;
                       split.stored_bytes += r.stored_bytes;
                       split.raw_bytes += r.raw_bytes;
                       split.filling.reset();
                       split.block.reset();
                   },
                   [&](const SeqNoted& r) {
                       std::int64_t& last = entry.seqs[r.client];
                       last = std::max(last, r.seq);
                   },
                   [&](const RequestsMissing& r) { entry.failures.add_missing(r.first, r.last); },
                   [&](const RequestFailed& r) { entry.failures.add(r.error); },
               },
               record);
}

void commit(FileEntry& entry, const Record& record, std::uint64_t& held_bytes) {
    if (entry.journal) add_to(*entry.journal, record);
    apply(entry, record, held_bytes);
}

}  // namespace scrivell
