#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "StreamingBlock.hpp"
#include "master_file.hpp"

namespace scrivell {

// Finishes a full or last block of split dataset `masterDatasetName` (its sub-file gets its
// final name beside the master file) and links it from the master file as "%s/data_%04d".
// The caller announces it. With `sync`, the rows reach the disk first.
void writeSubDataFile(hid masterFileObj, const std::string& masterDatasetName,
                      std::int64_t splitFileIndex, StreamingBlock& block, bool sync);

// The file and object an external link at `path` of `f` points to, if that is one.
std::optional<std::pair<std::string, std::string>> external_link_target(hid f,
                                                                        const std::string& path);

// Links block `splitFileIndex` of split dataset `masterDatasetName`, a sub-file named
// `sub_file` beside the master, from the master as "%s/data_%04d", unless that very link is
// there. Anything else at the link's path is an Error: a block is never left unlinked.
void link_block(hid masterFileObj, const std::string& masterDatasetName,
                std::int64_t splitFileIndex, const std::string& sub_file);

// Creates in `f`, at `masterDataSetName` (groups created along it), an external link to
// `datasetname` in the file `subDataPath`, stored unchanged.
void create_external_link(hid f, const std::string& masterDataSetName,
                          const std::string& subDataPath, const std::string& datasetname);

// Makes "NAME/data" in the master `masterFileObj` (its path `filepath`): a virtual dataset of
// all `frames` frames, (frames, item shape...) of `typestr`, mapping each sub-file's
// "/entry/data/data" exactly, splitSize frames per block and the last block's rest. One made
// by an earlier try is made anew; any other object at "NAME/data" is left as it is, and the
// stack is not made: the returned text says why (empty once made). NAME gets the NeXus
// attributes NX_class = "NXdata" and signal = "data" when it holds nothing but the blocks'
// links and the stack. Throws Error naming the file for anything else.
std::string create_block_stack(hid masterFileObj, const std::string& filepath,
                               const std::string& name, const std::string& stem,
                               std::int64_t splitSize, std::int64_t frames,
                               const std::string& typestr, const std::vector<std::uint64_t>& shape);

}  // namespace scrivell
