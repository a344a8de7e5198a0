#include "split_files.hpp"

#include <fcntl.h>

#include <cstdio>
#include <scrivell/errors.hpp>
#include <vector>

#include "h5/h5.hpp"
#include "text.hpp"
#include "write.hpp"

namespace scrivell {

static_assert(std::is_same_v<hid, hid_t>, "scrivell::hid must be HDF5's hid_t");

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

std::optional<std::pair<std::string, std::string>> external_link_target(hid f,
                                                                        const std::string& path) {
    H5L_info_t info;
    if (H5Lget_info(f, path.c_str(), &info, H5P_DEFAULT) < 0 || info.type != H5L_TYPE_EXTERNAL) {
        return std::nullopt;
    }
    std::vector<char> value(info.u.val_size);
    const char* file = nullptr;
    const char* object = nullptr;
    unsigned flags = 0;
    if (H5Lget_val(f, path.c_str(), value.data(), value.size(), H5P_DEFAULT) < 0 ||
        H5Lunpack_elink_val(value.data(), value.size(), &flags, &file, &object) < 0) {
        return std::pair<std::string, std::string>{};
    }
    return std::pair<std::string, std::string>{file, object};
}

void link_block(hid masterFileObj, const std::string& masterDatasetName,
                std::int64_t splitFileIndex, const std::string& sub_file) {
    // The link stores the bare file name: the sub-file is found beside the master file. A
    // finish tried again after its link was made (and the flush after it failed) keeps it.
    const std::string link = link_path(masterDatasetName, splitFileIndex);
    if (!h5::path_exists(masterFileObj, link)) {
        create_external_link(masterFileObj, link, sub_file, "/entry/data/data");
        return;
    }
    const auto target = external_link_target(masterFileObj, link);
    if (target && target->first == sub_file && target->second == "/entry/data/data") return;
    throw Error("block " + std::to_string(splitFileIndex) + " of split dataset " +
                in_quotes(masterDatasetName) + " cannot be linked at " + in_quotes(link) +
                ": another object is there; its rows are in " + in_quotes(sub_file) +
                " beside the master");
}

namespace {

void set_text_attribute(hid_t object, const char* name, const char* text,
                        const std::string& where) {
    if (H5Aexists(object, name) > 0) return;
    h5::Type type = h5::vlen_utf8_type();
    h5::Space scalar{h5::check(H5Screate(H5S_SCALAR), "create", "scalar dataspace")};
    h5::Handle<H5Aclose> attribute{
        h5::check(H5Acreate2(object, name, type.get(), scalar.get(), H5P_DEFAULT, H5P_DEFAULT),
                  "create attribute", std::string(name) + " of " + where)};
    h5::check(H5Awrite(attribute.get(), type.get(), &text), "write attribute",
              std::string(name) + " of " + where);
}

// Whether `path` of `f` is a hard link to a virtual dataset.
bool is_virtual_dataset(hid_t f, const std::string& path) {
    H5L_info_t info;
    if (H5Lget_info(f, path.c_str(), &info, H5P_DEFAULT) < 0 || info.type != H5L_TYPE_HARD) {
        return false;
    }
    H5O_info_t object;
    if (H5Oget_info_by_name(f, path.c_str(), &object, H5P_DEFAULT) < 0 ||
        object.type != H5O_TYPE_DATASET) {
        return false;
    }
    h5::Dataset dataset{h5::check(H5Dopen2(f, path.c_str(), H5P_DEFAULT), "open dataset", path)};
    h5::Plist dcpl{h5::check(H5Dget_create_plist(dataset.get()), "read creation list of", path)};
    return H5Pget_layout(dcpl.get()) == H5D_VIRTUAL;
}

// Whether the group holds only block links ("data_NNNN") and "data".
bool holds_only_blocks(hid_t group) {
    bool only = true;
    H5Literate(
        group, H5_INDEX_NAME, H5_ITER_NATIVE, nullptr,
        [](hid_t, const char* link, const H5L_info_t*, void* data) -> herr_t {
            const std::string name = link;
            const bool block = name.rfind("data_", 0) == 0 && name.size() > 5 &&
                               name.find_first_not_of("0123456789", 5) == std::string::npos;
            if (name != "data" && !block) *static_cast<bool*>(data) = false;
            return 0;
        },
        &only);
    return only;
}

}  // namespace

std::string create_block_stack(hid masterFileObj, const std::string& filepath,
                               const std::string& name, const std::string& stem,
                               std::int64_t splitSize, std::int64_t frames,
                               const std::string& typestr,
                               const std::vector<std::uint64_t>& shape) {
    if (frames <= 0 || splitSize <= 0) return "";
    const std::int64_t blocks = (frames + splitSize - 1) / splitSize;
    const std::string stack = name + "/data";
    const std::string where = "the frames of " + in_quotes(name) + " in " + in_quotes(filepath);
    std::vector<hsize_t> dims{static_cast<hsize_t>(frames)};
    dims.insert(dims.end(), shape.begin(), shape.end());
    h5::Space whole = h5::space_of(dims);
    h5::Plist dcpl{h5::check(H5Pcreate(H5P_DATASET_CREATE), "create", "dataset creation list")};
    for (std::int64_t b = 0; b < blocks; ++b) {
        std::vector<hsize_t> start(dims.size(), 0);
        std::vector<hsize_t> count = dims;
        start[0] = static_cast<hsize_t>(b * splitSize);
        count[0] = static_cast<hsize_t>(std::min(splitSize, frames - b * splitSize));
        h5::check(H5Sselect_hyperslab(whole.get(), H5S_SELECT_SET, start.data(), nullptr,
                                      count.data(), nullptr),
                  "select", "block " + std::to_string(b) + " of " + where);
        h5::Space source = h5::space_of(count);
        h5::check(H5Pset_virtual(dcpl.get(), whole.get(), sub_file_name(stem, b).c_str(),
                                 "/entry/data/data", source.get()),
                  "map", "block " + std::to_string(b) + " of " + where);
    }
    h5::check(H5Sselect_all(whole.get()), "select", where);
    // Made anew when an earlier close made it and then failed; anything else there is not
    // ours to remove.
    if (h5::path_exists(masterFileObj, stack)) {
        if (!is_virtual_dataset(masterFileObj, stack)) {
            return where + ": " + in_quotes(stack) + " holds another object, so the virtual " +
                   "dataset over the blocks is not made; the blocks are linked at " +
                   in_quotes(link_path(name, 0)) + " and on";
        }
        h5::check(H5Ldelete(masterFileObj, stack.c_str(), H5P_DEFAULT), "remove", stack, filepath);
    }
    h5::Type type = h5::type_of_typestr(typestr, stack);
    h5::Plist lcpl = h5::intermediate_groups();
    h5::Dataset made{h5::check(H5Dcreate2(masterFileObj, stack.c_str(), type.get(), whole.get(),
                                          lcpl.get(), dcpl.get(), H5P_DEFAULT),
                               "create virtual dataset", stack, filepath)};
    h5::Group group{h5::check(H5Gopen2(masterFileObj, name.c_str(), H5P_DEFAULT), "open group",
                              name, filepath)};
    if (holds_only_blocks(group.get())) {
        set_text_attribute(group.get(), "NX_class", "NXdata", name);
        set_text_attribute(group.get(), "signal", "data", name);
    }
    return "";
}

}  // namespace scrivell
