#include "split_files.hpp"

#include <cstdio>
#include <vector>

#include "h5/h5.hpp"
#include "write.hpp"

namespace scrivell {

static_assert(std::is_same_v<hid, hid_t>, "scrivell::hid must be HDF5's hid_t");

std::string link_path(const std::string& name, std::int64_t index) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "/data_%04lld", static_cast<long long>(index));
    return name + buffer;
}

void create_external_link(hid f, const std::string& masterDataSetName,
                          const std::string& subDataPath, const std::string& datasetname) {
    h5::Plist lcpl = h5::intermediate_groups();
    h5::check(H5Lcreate_external(subDataPath.c_str(), datasetname.c_str(), f,
                                 masterDataSetName.c_str(), lcpl.get(), H5P_DEFAULT),
              "create external link", masterDataSetName);
}

void writeSubDataFile(hid masterFileObj, const std::string& masterDatasetName,
                      std::int64_t splitFileIndex, StreamingBlock& block, bool sync) {
    block.finish(sync);
    link_block(masterFileObj, masterDatasetName, splitFileIndex, block.name());
}

void link_block(hid masterFileObj, const std::string& masterDatasetName,
                std::int64_t splitFileIndex, const std::string& sub_file) {
    // The link stores the bare file name: the sub-file is found beside the master file. A
    // finish tried again after its link was made (and the flush after it failed) keeps it.
    const std::string link = link_path(masterDatasetName, splitFileIndex);
    if (h5::path_exists(masterFileObj, link)) return;
    create_external_link(masterFileObj, link, sub_file, "/entry/data/data");
}

}  // namespace scrivell
