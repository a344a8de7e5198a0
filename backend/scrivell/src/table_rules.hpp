#pragma once

// The rules of names that span open files: masters and blocks in one directory.
#include <memory>
#include <string>

#include "OpenFile.hpp"
#include "OrderedMap.hpp"

namespace scrivell {

using FileTable = OrderedMap<std::unique_ptr<OpenFile>>;

// Refuses the master `filepath`, named like a sub-file, in a directory where another open
// file writes blocks: a block would replace it. Throws Error.
void refuse_master_among_blocks(const FileTable& files, const Directory& dir,
                                const std::string& filepath);

// Refuses (Error naming `where`) split dataset `name` of `file`, whose sub-files start with
// `stem`, in a directory where another open master has split datasets, or is named like one
// of its sub-files: they could take each other's names.
void refuse_shared_block_directory(const FileTable& files, const OpenFile& file,
                                   const std::string& name, const std::string& stem,
                                   const std::string& where);

}  // namespace scrivell
