#include "names.hpp"

#include <algorithm>

#include "h5/h5.hpp"
#include "requests.hpp"
#include "split_files.hpp"
#include "text.hpp"

namespace scrivell {

// Blocks are renamed into their directory under their sub-file names: a master file of such a
// name in a directory where another open file writes blocks would be replaced by one.
// Whichever came first wins; the later open or registration is refused.
void refuse_master_among_blocks(const OrderedMap<FileEntry>& files, const Directory& dir,
                                const std::string& filepath) {
    for (const auto& [other_path, other] : files) {
        if (!other.dir->same_as(dir)) continue;
        for (const auto& [name, split] : other.files_split) {
            if (!named_like_a_sub_file(filepath, split.stem)) continue;
            throw Error("the master " + in_quotes(filepath) + " is named like a sub-file, and " +
                        in_quotes(other_path) + " writes the blocks of split dataset " +
                        in_quotes(name) + " under such names in that directory (" +
                        sub_file_name(split.stem, 0) + " and on); rename the master");
        }
    }
}

bool collides_with_split(const std::string& path, const std::string& split, bool vds) {
    if (path == split || split.rfind(path + "/", 0) == 0) return true;
    const std::string stack = split + "/data";
    if (vds && (path == stack || path.rfind(stack + "/", 0) == 0)) return true;
    const std::string links = split + "/data_";
    if (path.rfind(links, 0) != 0) return false;
    const auto end = std::min(path.find('/', links.size()), path.size());
    const std::string digits = path.substr(links.size(), end - links.size());
    return !digits.empty() &&
           std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Refuses a write at `path` that collides with a split dataset of `entry`.
void refuse_split_links(const FileEntry& entry, const std::string& path, const std::string& what) {
    const std::string normal = h5::normal_path(path);
    for (const auto& [name, split] : entry.files_split) {
        if (!collides_with_split(normal, h5::normal_path(name), split.vds)) continue;
        throw Error(what + ": " + in_quotes(path) + " is where split dataset " + in_quotes(name) +
                    " links its blocks (" + in_quotes(link_path(name, 0)) + " and on); write " +
                    "somewhere else");
    }
}

// A dataset name shares the file-table entry with "fp" and with the other kind of dataset:
// "fp" would lose the open file, a name of both kinds would lose one record. Names are
// compared as paths: "/a//b/" and "a/b" are one dataset in the file, so a second spelling
// of a registered name is refused rather than written over the first at close.
void refuse_taken_name(const FileEntry& entry, const std::string& name, bool splitting,
                       const std::string& where, bool vds) {
    if (name == "fp") throw Error(where + ": the name \"fp\" is reserved for the open file");
    if (splitting && entry.files_nosplit.contains(name)) {
        throw Error(where + ": " + in_quotes(name) + " is already an appendable dataset");
    }
    if (!splitting && entry.files_split.contains(name)) {
        throw Error(where + ": " + in_quotes(name) + " is already a split dataset");
    }
    const std::string normal = h5::normal_path(name);
    if (normal == "/") throw Error(where + ": " + in_quotes(name) + " names the root group");
    auto refuse_spelling = [&](const std::string& other) {
        if (other == name || h5::normal_path(other) != normal) return;
        throw Error(where + ": " + in_quotes(name) + " is another spelling of " + in_quotes(other) +
                    ", already registered; use that one");
    };
    for (const auto& [other, dataset] : entry.files_nosplit) {
        refuse_spelling(other);
        if (splitting && other != name &&
            collides_with_split(h5::normal_path(other), normal, vds)) {
            throw Error(where + ": split dataset " + in_quotes(name) + " would link its blocks " +
                        "where appendable dataset " + in_quotes(other) + " is written");
        }
    }
    for (const auto& [other, split] : entry.files_split) {
        refuse_spelling(other);
        if (!splitting) refuse_split_links(entry, name, where);
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
                        (split.vds ? " and its frames (" + in_quotes(other + "/data") + ")" : "") +
                        "; register it beside, not " + (inside ? "inside" : "around"));
        }
    }
}

}  // namespace scrivell
