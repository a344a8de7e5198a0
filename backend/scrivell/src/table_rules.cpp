#include "table_rules.hpp"

#include "names.hpp"
#include "text.hpp"

namespace scrivell {

// Blocks are renamed into their directory under their sub-file names: a master file of such a
// name in a directory where another open file writes blocks would be replaced by one.
// Whichever came first wins; the later open or registration is refused.
void refuse_master_among_blocks(const FileTable& files, const Directory& dir,
                                const std::string& filepath) {
    for (const auto& [other_path, other] : files) {
        if (!other->directory()->same_as(dir)) continue;
        for (const auto& [name, stem] : other->split_stems()) {
            if (!named_like_a_sub_file(filepath, stem)) continue;
            throw Error("the master " + in_quotes(filepath) + " is named like a sub-file, and " +
                        in_quotes(other_path) + " writes the blocks of split dataset " +
                        in_quotes(name) + " under such names in that directory (" +
                        sub_file_name(stem, 0) + " and on); rename the master");
        }
    }
}

void refuse_shared_block_directory(const FileTable& files, const OpenFile& file,
                                   const std::string& name, const std::string& stem,
                                   const std::string& where) {
    for (const auto& [other_path, other] : files) {
        if (other.get() == &file || !other->directory()->same_as(*file.directory())) continue;
        if (named_like_a_sub_file(other_path, stem)) {
            throw Error(where + ": split dataset " + in_quotes(name) + " of " +
                        in_quotes(file.path()) + " would write its sub-files beside the open " +
                        "master " + in_quotes(other_path) + ", which is named like one");
        }
        const auto stems = other->split_stems();
        if (stems.empty()) continue;
        throw Error(where + ": split dataset " + in_quotes(name) + " of " + in_quotes(file.path()) +
                    " would write its sub-files into " + in_quotes(file.directory()->path()) +
                    ", where split dataset " + in_quotes(stems.front().first) + " of " +
                    in_quotes(other_path) +
                    " writes its own; give each master with split datasets a directory of "
                    "its own");
    }
}

}  // namespace scrivell
