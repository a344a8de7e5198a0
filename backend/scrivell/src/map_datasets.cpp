#include "map_datasets.hpp"

#include <cstring>
#include <vector>
#include <zelt/overload.hpp>

#include "write.hpp"

namespace scrivell {

namespace {

using zelt::Overload;

void flatten_into(OrderedMap<zelt::Value>& out, const std::string& prefix,
                  const zelt::Value& value) {
    if (const auto* map = value.as<zelt::Map>(); map && !map->empty()) {
        for (const auto& [key, item] : *map) flatten_into(out, prefix + "/" + key, item);
        return;
    }
    if (const auto* list = value.as<zelt::List>(); list && !list->empty()) {
        for (std::size_t i = 0; i < list->size(); ++i) {
            flatten_into(out, prefix + "/" + std::to_string(i), (*list)[i]);
        }
        return;
    }
    out.insert_or_assign(prefix, value);
}

void create_text(hid_t file, const std::string& path, const std::string& text,
                 const std::string& filename) {
    h5::Type type = h5::vlen_utf8_type();
    h5::Dataset dataset = create_dataset(file, path, type.get(), {}, filename);
    const char* data = text.c_str();
    h5::check(H5Dwrite(dataset.get(), type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, &data),
              "write dataset", path, filename);
    dataset.close(path);
}

template <class T>
void create_scalar(hid_t file, const std::string& path, hid_t file_type, hid_t mem_type, T value,
                   const std::string& filename) {
    h5::Dataset dataset = create_dataset(file, path, file_type, {}, filename);
    h5::check(H5Dwrite(dataset.get(), mem_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, &value),
              "write dataset", path, filename);
    dataset.close(path);
}

void create_array(hid_t file, const std::string& path, const zelt::NdArray& array,
                  const std::string& filename) {
    h5::Type type = h5::type_of_typestr(array.typestr(), path);
    std::vector<hsize_t> dims(array.shape().begin(), array.shape().end());
    h5::Dataset dataset = create_dataset(file, path, type.get(), dims, filename);
    if (array.element_count() != 0) {
        h5::check(H5Dwrite(dataset.get(), type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, array.data()),
                  "write dataset", path, filename);
    }
    dataset.close(path);
}

void create_from_value(hid_t file, const std::string& path, const zelt::Value& value,
                       const std::string& filename) {
    std::visit(Overload{
                   [&](std::monostate) { create_text(file, path, "None", filename); },
                   [&](bool flag) {
                       h5::Type type = h5::bool_type();
                       create_scalar<std::int8_t>(file, path, type.get(), type.get(), flag ? 1 : 0,
                                                  filename);
                   },
                   [&](std::int64_t n) {
                       create_scalar(file, path, H5T_STD_I64LE, H5T_NATIVE_INT64, n, filename);
                   },
                   [&](std::uint64_t n) {
                       create_scalar(file, path, H5T_STD_U64LE, H5T_NATIVE_UINT64, n, filename);
                   },
                   [&](double d) {
                       create_scalar(file, path, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, d, filename);
                   },
                   [&](const std::string& text) { create_text(file, path, text, filename); },
                   [&](const zelt::List&) {  // only an empty list is a leaf
                       create_dataset(file, path, H5T_IEEE_F64LE, {0}, filename).close(path);
                   },
                   [&](const zelt::Map&) {  // only an empty map is a leaf
                       create_text(file, path, "", filename);
                   },
                   [&](const zelt::NdArray& array) { create_array(file, path, array, filename); },
               },
               value.kind());
}

[[noreturn]] void cannot_take(const std::string& path, const std::string& filename,
                              const zelt::Value& value, const char* type_name) {
    throw Error("write dataset \"" + path + "\" in \"" + filename + "\": a " + value.kind_name() +
                (value.is<std::string>() ? " \"" + *value.as<std::string>() + "\"" : "") +
                " cannot be written into a " + type_name + " dataset");
}

std::string shape_text(const std::vector<hsize_t>& dims) {
    std::string out = "(";
    for (std::size_t i = 0; i < dims.size(); ++i) out += (i ? ", " : "") + std::to_string(dims[i]);
    return out + (dims.size() == 1 ? ",)" : ")");
}

// Writes `value` over every element of the existing dataset at `path`, keeping its element
// type and shape. The value must be held exactly by that type and shape: nothing is rounded,
// clamped, cut, reshaped or parsed out of a text.
void overwrite(hid_t file, const std::string& path, const zelt::Value& value,
               const std::string& filename) {
    const std::string what = "write dataset \"" + path + "\" in \"" + filename + "\"";
    h5::Dataset dataset{
        h5::check(H5Dopen2(file, path.c_str(), H5P_DEFAULT), "open dataset", path, filename)};
    h5::Type type{h5::check(H5Dget_type(dataset.get()), "read type of", path, filename)};
    h5::Space space{h5::check(H5Dget_space(dataset.get()), "read shape of", path, filename)};
    const auto points = static_cast<std::size_t>(
        h5::check(H5Sget_simple_extent_npoints(space.get()), "read shape of", path, filename));
    const int rank = H5Sget_simple_extent_ndims(space.get());
    std::vector<hsize_t> dims(rank > 0 ? static_cast<std::size_t>(rank) : 0);
    if (rank > 0) H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr);
    const H5T_class_t type_class = H5Tget_class(type.get());
    const bool numeric = type_class == H5T_INTEGER || type_class == H5T_FLOAT;

    auto write = [&](hid_t mem_type, const void* data) {
        if (!points) return;
        h5::check(H5Dwrite(dataset.get(), mem_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, data),
                  "write dataset", path, filename);
    };
    auto fill = [&](hid_t mem_type, auto element) {
        std::vector<decltype(element)> data(points, element);
        write(mem_type, data.data());
    };
    // One value, checked once in the dataset's own type, then written to every element.
    auto fill_exactly = [&](hid_t mem_type, const void* element) {
        const std::vector<unsigned char> one =
            h5::held_exactly(mem_type, type.get(), element, 1, what);
        std::vector<unsigned char> all(points * one.size());
        for (std::size_t i = 0; i < points; ++i) {
            std::memcpy(all.data() + i * one.size(), one.data(), one.size());
        }
        write(type.get(), all.data());
    };

    if (const auto* array = value.as<zelt::NdArray>()) {
        const std::vector<hsize_t> shape(array->shape().begin(), array->shape().end());
        if (shape != dims) {
            throw Error(what + ": it has shape " + shape_text(dims) + ", the array " +
                        array->describe() + "; nothing was written");
        }
        if (!numeric)
            cannot_take(path, filename, value, type_class == H5T_STRING ? "text" : "non-numeric");
        h5::Type mem = h5::type_of_typestr(array->typestr(), path);
        write(type.get(),
              h5::held_exactly(mem.get(), type.get(), array->data(), points, what).data());
    } else if (value.is<zelt::List>()) {  // an empty list
        if (points != 0) cannot_take(path, filename, value, "non-empty");
    } else if (const auto* text = value.as<std::string>()) {
        if (type_class != H5T_STRING) {
            cannot_take(path, filename, value, numeric ? "numeric" : "non-text");
        }
        if (H5Tis_variable_str(type.get()) > 0) {
            fill(type.get(), text->c_str());
        } else {
            const std::size_t size = H5Tget_size(type.get());
            // A null-terminated string keeps its last byte for the terminator.
            const std::size_t room =
                H5Tget_strpad(type.get()) == H5T_STR_NULLTERM && size > 0 ? size - 1 : size;
            if (text->size() > room) {
                throw Error(what + ": the text of " + std::to_string(text->size()) +
                            " bytes does not fit its fixed-length strings of " +
                            std::to_string(room) + "; nothing was written");
            }
            std::vector<char> data(points * size, '\0');
            for (std::size_t i = 0; i < points; ++i) {
                std::memcpy(&data[i * size], text->data(), text->size());
            }
            write(type.get(), data.data());
        }
    } else if (type_class == H5T_ENUM) {
        const auto* flag = value.as<bool>();
        const auto* n = value.as<std::int64_t>();
        if (H5Tget_size(type.get()) != 1 || !(flag || (n && (*n == 0 || *n == 1)))) {
            cannot_take(path, filename, value, "boolean");
        }
        fill(type.get(), static_cast<std::int8_t>(flag ? *flag : *n));
    } else if (numeric) {
        if (const auto* flag = value.as<bool>()) {
            const std::int8_t element = *flag ? 1 : 0;
            fill_exactly(H5T_NATIVE_INT8, &element);
        } else if (const auto* n = value.as<std::int64_t>()) {
            fill_exactly(H5T_NATIVE_INT64, n);
        } else if (const auto* u = value.as<std::uint64_t>()) {
            fill_exactly(H5T_NATIVE_UINT64, u);
        } else if (const auto* d = value.as<double>()) {
            fill_exactly(H5T_NATIVE_DOUBLE, d);
        } else {
            cannot_take(path, filename, value, "numeric");
        }
    } else {
        cannot_take(path, filename, value, type_class == H5T_STRING ? "text" : "non-numeric");
    }
    dataset.close(path);
}

bool is_vlen_string(hid_t file, const std::string& path, const std::string& filename) {
    h5::Dataset dataset{
        h5::check(H5Dopen2(file, path.c_str(), H5P_DEFAULT), "open dataset", path, filename)};
    h5::Type existing_dtype{h5::check(H5Dget_type(dataset.get()), "read type of", path, filename)};
    return H5Tget_class(existing_dtype.get()) == H5T_STRING &&
           H5Tis_variable_str(existing_dtype.get()) > 0;
}

}  // namespace

namespace {

// What a leaf holds beyond its path: a text's bytes are copied with it, an array's are shared.
std::uint64_t leaf_bytes(const zelt::Value& value) {
    const auto* text = value.as<std::string>();
    return sizeof(zelt::Value) + (text ? text->size() : 0);
}

void cost_into(FlattenCost& cost, std::uint64_t prefix, const zelt::Value& value) {
    const auto* map = value.as<zelt::Map>();
    const auto* list = value.as<zelt::List>();
    if (map && !map->empty()) {
        for (const auto& [key, item] : *map) {
            cost.request_bytes += key.size() + 1;
            cost_into(cost, prefix + 1 + key.size(), item);
        }
        return;
    }
    if (list && !list->empty()) {
        for (std::size_t i = 0; i < list->size(); ++i) {
            cost.request_bytes += 1;
            cost_into(cost, prefix + 1 + std::to_string(i).size(), (*list)[i]);
        }
        return;
    }
    cost.request_bytes += leaf_bytes(value) - sizeof(zelt::Value) + 1;
    // The path is held twice by the flat map (its entry and its index) and once more by the
    // journal's record, and the leaf twice.
    cost.flat_bytes += 3 * prefix + 2 * leaf_bytes(value) + 64;
}

}  // namespace

FlattenCost flatten_cost(const zelt::Map& map) {
    FlattenCost cost;
    for (const auto& [key, value] : map) {
        cost.request_bytes += key.size() + 1;
        cost_into(cost, key.size(), value);
    }
    return cost;
}

OrderedMap<zelt::Value> flatten(const zelt::Map& map) {
    OrderedMap<zelt::Value> out;
    for (const auto& [key, value] : map) flatten_into(out, key, value);
    return out;
}

void write_leaf(hid_t file, const std::string& path, const zelt::Value& value, bool recreate_text,
                const std::string& filename) {
    h5::refuse_links_along(file, path, filename);
    if (const auto* array = value.as<zelt::NdArray>(); array && array->precompressed()) {
        throw Error("write dataset \"" + path + "\" in \"" + filename + "\": " +
                    std::string("a pre-compressed frame goes only into a split dataset registered "
                                "with {\"compression\": \"bslz4\"}"));
    }
    if (const auto* text = value.as<std::string>(); text && text->find('\0') != std::string::npos) {
        throw Error(
            "write dataset \"" + path + "\" in \"" + filename +
            "\": the text holds a NUL character, and HDF5 would keep only what is before it");
    }
    if (value.is_null()) {
        // "None" goes into a new dataset: an existing path makes the creation fail.
        create_text(file, path, "None", filename);
        return;
    }
    if (!h5::path_exists(file, path)) {
        create_from_value(file, path, value, filename);
        return;
    }
    if (recreate_text && value.is<std::string>() && !is_vlen_string(file, path, filename)) {
        h5::check(H5Ldelete(file, path.c_str(), H5P_DEFAULT), "delete dataset", path, filename);
        create_text(file, path, *value.as<std::string>(), filename);
        return;
    }
    overwrite(file, path, value, filename);
}

}  // namespace scrivell
