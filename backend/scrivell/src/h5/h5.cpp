#include "h5/h5.hpp"

namespace scrivell::h5 {

namespace {

herr_t collect(unsigned, const H5E_error2_t* entry, void* out) {
    auto& messages = *static_cast<std::vector<std::string>*>(out);
    if (entry->desc && *entry->desc) messages.emplace_back(entry->desc);
    return 0;
}

}  // namespace

std::string stack_reason() {
    const hid_t stack = H5Eget_current_stack();
    if (stack < 0) return "unknown HDF5 error";
    std::vector<std::string> messages;
    H5Ewalk2(stack, H5E_WALK_DOWNWARD, collect, &messages);
    H5Eclose_stack(stack);
    if (messages.empty()) return "unknown HDF5 error";
    if (messages.size() == 1 || messages.front() == messages.back()) return messages.front();
    return messages.front() + ": " + messages.back();
}

void fail(std::string_view action, std::string_view target, std::string_view file) {
    std::string message(action);
    message += " \"";
    message += target;
    message += '"';
    if (!file.empty()) {
        message += " in \"";
        message += file;
        message += '"';
    }
    message += ": ";
    message += stack_reason();
    throw H5Error(message);
}

Type bool_type() {
    Type type{check(H5Tenum_create(H5T_NATIVE_INT8), "create", "boolean type")};
    const signed char no = 0;
    const signed char yes = 1;
    check(H5Tenum_insert(type.get(), "FALSE", &no), "create", "boolean type");
    check(H5Tenum_insert(type.get(), "TRUE", &yes), "create", "boolean type");
    return type;
}

Type vlen_utf8_type() {
    Type type{check(H5Tcopy(H5T_C_S1), "create", "string type")};
    check(H5Tset_size(type.get(), H5T_VARIABLE), "create", "string type");
    check(H5Tset_cset(type.get(), H5T_CSET_UTF8), "create", "string type");
    return type;
}

Type type_of_typestr(const std::string& typestr, std::string_view dataset) {
    if (typestr == "|b1") return bool_type();
    const bool big = typestr[0] == '>';
    hid_t base = H5I_INVALID_HID;
    const char kind = typestr[1];
    const char size = typestr[2];
    if (kind == 'i') {
        base = size == '1'   ? H5T_STD_I8LE
               : size == '2' ? (big ? H5T_STD_I16BE : H5T_STD_I16LE)
               : size == '4' ? (big ? H5T_STD_I32BE : H5T_STD_I32LE)
                             : (big ? H5T_STD_I64BE : H5T_STD_I64LE);
    } else if (kind == 'u') {
        base = size == '1'   ? H5T_STD_U8LE
               : size == '2' ? (big ? H5T_STD_U16BE : H5T_STD_U16LE)
               : size == '4' ? (big ? H5T_STD_U32BE : H5T_STD_U32LE)
                             : (big ? H5T_STD_U64BE : H5T_STD_U64LE);
    } else if (kind == 'f') {
        base = size == '4' ? (big ? H5T_IEEE_F32BE : H5T_IEEE_F32LE)
                           : (big ? H5T_IEEE_F64BE : H5T_IEEE_F64LE);
    } else {
        throw H5Error("write dataset \"" + std::string(dataset) + "\": unsupported type string \"" +
                      typestr + "\"");
    }
    return Type{check(H5Tcopy(base), "create type", typestr)};
}

Plist intermediate_groups() {
    Plist lcpl{check(H5Pcreate(H5P_LINK_CREATE), "create", "link creation list")};
    check(H5Pset_create_intermediate_group(lcpl.get(), 1), "set", "intermediate groups");
    check(H5Pset_char_encoding(lcpl.get(), H5T_CSET_UTF8), "set", "link name encoding");
    return lcpl;
}

bool path_exists(hid_t file, const std::string& path) {
    std::string prefix;
    std::size_t start = 0;
    bool any = false;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (slash > start) {
            if (any) {
                // The component before this one must be a group.
                H5O_info_t info;
                if (H5Oget_info_by_name(file, prefix.c_str(), &info, H5P_DEFAULT) < 0 ||
                    info.type != H5O_TYPE_GROUP) {
                    return false;
                }
            }
            prefix += '/';
            prefix.append(path, start, slash - start);
            any = true;
            const htri_t exists = H5Lexists(file, prefix.c_str(), H5P_DEFAULT);
            if (exists <= 0) return false;
        }
        start = slash + 1;
    }
    return any;
}

Space space_of(const std::vector<hsize_t>& dims) {
    if (dims.empty()) return Space{check(H5Screate(H5S_SCALAR), "create", "dataspace")};
    return Space{check(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr),
                       "create", "dataspace")};
}

}  // namespace scrivell::h5
