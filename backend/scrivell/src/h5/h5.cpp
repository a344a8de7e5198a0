#include "h5/h5.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

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

Plist file_access(Access access) {
    Plist fapl{check(H5Pcreate(H5P_FILE_ACCESS), "create", "file access list")};
    check(H5Pset_file_locking(fapl.get(), /*use_file_locking=*/false,
                              /*ignore_when_disabled=*/true),
          "set", "file locking");
    if (access.latest) {
        check(H5Pset_libver_bounds(fapl.get(), H5F_LIBVER_LATEST, H5F_LIBVER_LATEST), "set",
              "library version bounds");
    }
    if (access.clear_status_flags) {
        hbool_t clear = true;
        check(H5Pset(fapl.get(), "clear_status_flags", &clear), "set", "clear_status_flags");
    }
    return fapl;
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

void refuse_links_along(hid_t file, const std::string& path, std::string_view filename) {
    std::string prefix;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (slash > start && path.compare(start, slash - start, ".") != 0) {
            prefix += '/';
            prefix.append(path, start, slash - start);
            H5L_info_t info;
            // The prefix exists only while everything before it is a group reached by hard
            // links; the first missing component ends the walk.
            if (H5Lexists(file, prefix.c_str(), H5P_DEFAULT) <= 0 ||
                H5Lget_info(file, prefix.c_str(), &info, H5P_DEFAULT) < 0) {
                return;
            }
            if (info.type != H5L_TYPE_HARD) {
                throw Error("write \"" + path + "\" in \"" + std::string(filename) + "\": \"" +
                            prefix + "\" is " +
                            (info.type == H5L_TYPE_EXTERNAL ? "an external link" : "a soft link") +
                            ", and the service writes through no link");
            }
            H5O_info_t object;
            if (slash < path.size() &&
                (H5Oget_info_by_name(file, prefix.c_str(), &object, H5P_DEFAULT) < 0 ||
                 object.type != H5O_TYPE_GROUP)) {
                return;  // not a group: the write fails on its own, naming it
            }
        }
        start = slash + 1;
    }
}

std::string normal_path(const std::string& path) {
    std::string out;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (slash > start && path.compare(start, slash - start, ".") != 0) {
            out += '/';
            out.append(path, start, slash - start);
        }
        start = slash + 1;
    }
    return out.empty() ? "/" : out;
}

namespace {

// Whether two buffers of `count` elements of `type` hold equal values (NaN equal to NaN).
bool same_values(hid_t type, const unsigned char* a, const unsigned char* b, std::size_t count,
                 std::size_t& first_difference) {
    const std::size_t size = H5Tget_size(type);
    for (std::size_t i = 0; i < count; ++i) {
        if (std::memcmp(a + i * size, b + i * size, size) == 0) continue;
        if (H5Tget_class(type) == H5T_FLOAT) {
            double x = 0;
            double y = 0;
            std::vector<unsigned char> both(2 * std::max<std::size_t>(size, sizeof(double)));
            std::memcpy(both.data(), a + i * size, size);
            std::memcpy(both.data() + both.size() / 2, b + i * size, size);
            if (H5Tconvert(type, H5T_NATIVE_DOUBLE, 1, both.data(), nullptr, H5P_DEFAULT) >= 0 &&
                H5Tconvert(type, H5T_NATIVE_DOUBLE, 1, both.data() + both.size() / 2, nullptr,
                           H5P_DEFAULT) >= 0) {
                std::memcpy(&x, both.data(), sizeof x);
                std::memcpy(&y, both.data() + both.size() / 2, sizeof y);
                if (std::isnan(x) && std::isnan(y)) continue;
            }
        }
        first_difference = i;
        return false;
    }
    return true;
}

std::string type_text(hid_t type) {
    const std::size_t size = H5Tget_size(type);
    switch (H5Tget_class(type)) {
        case H5T_INTEGER:
            return std::string(H5Tget_sign(type) == H5T_SGN_NONE ? "uint" : "int") +
                   std::to_string(size * 8);
        case H5T_FLOAT:
            return "float" + std::to_string(size * 8);
        case H5T_STRING:
            return "string";
        case H5T_ENUM:
            return "enum";
        default:
            return "another kind of";
    }
}

}  // namespace

std::vector<unsigned char> held_exactly(hid_t mem_type, hid_t file_type, const void* data,
                                        std::size_t count, const std::string& what) {
    const std::size_t mem_size = H5Tget_size(mem_type);
    const std::size_t file_size = H5Tget_size(file_type);
    const std::size_t room = count * std::max(mem_size, file_size);
    std::vector<unsigned char> converted(room);
    std::vector<unsigned char> back(room);
    if (count) std::memcpy(converted.data(), data, count * mem_size);
    const std::string types =
        type_text(mem_type) + " values into a " + type_text(file_type) + " dataset";
    if (H5Tconvert(mem_type, file_type, count, converted.data(), nullptr, H5P_DEFAULT) < 0) {
        throw Error(what + ": " + types + ": " + stack_reason());
    }
    if (count) std::memcpy(back.data(), converted.data(), count * file_size);
    std::size_t at = 0;
    if (H5Tconvert(file_type, mem_type, count, back.data(), nullptr, H5P_DEFAULT) < 0 ||
        !same_values(mem_type, static_cast<const unsigned char*>(data), back.data(), count, at)) {
        throw Error(what + ": " + types + ": value " + std::to_string(at) +
                    " is not held exactly by the dataset's type; nothing was written");
    }
    converted.resize(count * file_size);
    return converted;
}

Space space_of(const std::vector<hsize_t>& dims) {
    if (dims.empty()) return Space{check(H5Screate(H5S_SCALAR), "create", "dataspace")};
    return Space{check(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr),
                       "create", "dataspace")};
}

}  // namespace scrivell::h5
