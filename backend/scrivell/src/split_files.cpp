#include <cstdio>
#include <vector>

#include <scrivell/Scrivell.hpp>

#include "h5/h5.hpp"
#include "write.hpp"

namespace scrivell {

static_assert(std::is_same_v<hid, hid_t>, "scrivell::hid must be HDF5's hid_t");

namespace {

// "%04d.h5": zero-padded to four digits, wider past 9999.
std::string sub_file_name(std::int64_t index) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04lld.h5", static_cast<long long>(index));
    return buffer;
}

// "%s/data_%04d" of the split dataset's name and the block index.
std::string link_path(const std::string& name, std::int64_t index) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "/data_%04lld", static_cast<long long>(index));
    return name + buffer;
}

// True when `path` in `f` is already an external link to `object` in `file`: the link that an
// earlier attempt at the same block made before its notification failed.
bool links_to(hid_t f, const std::string& path, const std::string& file, const std::string& object) {
    if (!h5::path_exists(f, path)) return false;
    H5L_info_t info;
    if (H5Lget_info(f, path.c_str(), &info, H5P_DEFAULT) < 0 || info.type != H5L_TYPE_EXTERNAL) {
        return false;
    }
    std::vector<char> value(info.u.val_size);
    const char* target_file = nullptr;
    const char* target_object = nullptr;
    unsigned flags = 0;
    return H5Lget_val(f, path.c_str(), value.data(), value.size(), H5P_DEFAULT) >= 0 &&
           H5Lunpack_elink_val(value.data(), value.size(), &flags, &target_file,
                               &target_object) >= 0 &&
           file == target_file && object == target_object;
}

}  // namespace

void writelist2h5(const std::string& filepath, const std::string& datasetname, const Column& l) {
    // Default settings and truncation: a sub-file replaces whatever had its name.
    h5::File file{h5::check(H5Fcreate(filepath.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT),
                            "create file", filepath)};
    write_column(file.get(), datasetname, l, /*batch=*/false, filepath);
    file.close(filepath);
}

void writelist2h5(const std::string& filepath, const std::string& datasetname,
                  const zelt::List& l) {
    Column column;
    for (const auto& value : l) column.push(value);
    writelist2h5(filepath, datasetname, column);
}

std::string dirpath_of(const std::string& masterFilePath) {
    const auto slash = masterFilePath.rfind('/');
    if (slash == std::string::npos) return "";
    std::string dirpath = masterFilePath.substr(0, slash);
    while (!dirpath.empty() && dirpath.back() == '/') dirpath.pop_back();
    // Nothing but "/" characters: the root stays.
    return dirpath.empty() ? "/" : dirpath;
}

void create_external_link(hid f, const std::string& masterDataSetName,
                          const std::string& subDataPath, const std::string& datasetname) {
    h5::Plist lcpl = h5::intermediate_groups();
    h5::check(H5Lcreate_external(subDataPath.c_str(), datasetname.c_str(), f,
                                 masterDataSetName.c_str(), lcpl.get(), H5P_DEFAULT),
              "create external link", masterDataSetName);
}

void writeSubDataFile(hid masterFileObj, const std::string& masterFilePath,
                      const std::string& masterDatasetName, std::int64_t splitFileIndex,
                      const Column& datalist, const zelt::Map& kwargs) {
    const std::string dirpath = dirpath_of(masterFilePath);
    const std::string subDataFileName = sub_file_name(splitFileIndex);
    std::string subDataPath;
    if (dirpath.empty()) {
        subDataPath = subDataFileName;
    } else if (dirpath.back() == '/') {
        subDataPath = dirpath + subDataFileName;
    } else {
        subDataPath = dirpath + "/" + subDataFileName;
    }
    const std::string subDataSetName = "/entry/data/data";
    writelist2h5(subDataPath, subDataSetName, datalist);
    const std::string masterDataSetName =
        link_path(masterDatasetName, splitFileIndex);
    // The link stores the bare file name: the sub-file is found beside the master file. A block
    // written again after its notification failed finds its own link there already; anything
    // else at that path makes the link fail.
    if (!links_to(masterFileObj, masterDataSetName, subDataFileName, subDataSetName)) {
        create_external_link(masterFileObj, masterDataSetName, subDataFileName, subDataSetName);
    }
    send2vesk(zelt::find_or_null(kwargs, "identify"),
              zelt::find_or_null(kwargs, "CTType"), subDataPath,
              subDataSetName);
}

}  // namespace scrivell
