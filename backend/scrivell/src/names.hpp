#pragma once

// How the files and links of split datasets are named: the one place that says it, for the
// blocks, the master's links, the requests that must not take their places, and the readers
// that status tells where to look.
#include <cstdint>
#include <string>

namespace scrivell {

// The bare name of block `index`'s sub-file: `stem` followed by "%04d.h5". The first split
// dataset of a master has the empty stem; each further one a stem of its own.
std::string sub_file_name(const std::string& stem, std::int64_t index);
// The hidden name a block is filled under: "." + its final name + ".part".
std::string hidden_name(const std::string& final_name);
// Where a reader finds block N of a dataset whose sub-files start with `stem`, beside the
// master in `directory`: a printf pattern of one integer ("/data/scan/pilatus_%04d.h5").
std::string sub_file_pattern(const std::string& directory, const std::string& stem);

// "%s/data_%04d" of a split dataset's name and a block index: where the master file links the
// block.
std::string link_path(const std::string& name, std::int64_t index);

// True when the file name of `path` is a sub-file's name: `stem` and "%04d.h5" of some index.
bool named_like_a_sub_file(const std::string& path, const std::string& stem = "");

// The stem of the sub-file names of a master's second or later split dataset: the last part of
// its name, each byte outside [A-Za-z0-9_+-] made "_", then "_" ("pilatus_" for
// "/entry/pilatus").
std::string sub_file_stem(const std::string& dataset_name);
// Whether `stem` is one that sub_file_stem() gives: a plain file name ending in "_".
bool is_sub_file_stem(const std::string& stem);

// Whether writing at `path` would take the place of split dataset `split`'s block links
// ("split/data_NNNN", written or to come), of the groups that must hold them (`split` and
// the groups above it), or, with `vds`, of its virtual dataset "split/data". Both are normal
// paths.
bool collides_with_split(const std::string& path, const std::string& split, bool vds = false);

}  // namespace scrivell
