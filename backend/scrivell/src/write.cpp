#include "write.hpp"

#include <variant>

namespace scrivell {

namespace {

std::string shape_text(const std::vector<hsize_t>& dims) {
    std::string out = "(";
    for (std::size_t i = 0; i < dims.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(dims[i]);
    }
    return out + (dims.size() == 1 ? ",)" : ")");
}

// One run of elements to write: `count` rows of the stack from `first`, lying at `data`.
struct Piece {
    hsize_t first;
    hsize_t count;
    const void* data;
};

// How a column goes into the file: its element types, the stack's shape, its pieces.
struct Stack {
    h5::Type file_type;
    h5::Type mem_type;
    std::vector<hsize_t> dims;
    std::vector<Piece> pieces;
    // Storage for values that had to be converted (mixed columns, text pointers).
    std::vector<std::int64_t> integers;
    std::vector<std::uint64_t> unsigned_integers;
    std::vector<double> floats;
    std::vector<const char*> texts;
};

h5::Type copy_type(hid_t type) { return h5::Type{h5::check(H5Tcopy(type), "copy", "type")}; }

// A one-dimensional stack of `count` scalars of these types.
void set_scalars(Stack& stack, h5::Type file_type, h5::Type mem_type, std::size_t count) {
    stack.file_type = std::move(file_type);
    stack.mem_type = std::move(mem_type);
    stack.dims = {count};
}

template <class T>
void add_chunks(Stack& stack, const Chunked<T>& values) {
    hsize_t first = 0;
    values.for_each_chunk([&](const T* data, std::size_t count) {
        stack.pieces.push_back({first, count, data});
        first += count;
    });
}

[[noreturn]] void refuse(const std::string& name, const std::string& file, std::size_t index,
                         const std::string& odd, const std::string& first) {
    throw Error("stack values of \"" + name + "\" in \"" + file + "\": value " +
                std::to_string(index) + " is " + odd + ", value 0 " + first);
}

std::string describe(const zelt::Value& value) {
    if (const auto* array = value.as<zelt::NdArray>()) return "an array " + array->describe();
    return std::string("a ") + value.kind_name();
}

void stack_arrays(Stack& stack, const std::vector<zelt::NdArray>& arrays, bool batch,
                  const std::string& name, const std::string& file) {
    const zelt::NdArray& head = arrays.front();
    for (std::size_t i = 1; i < arrays.size(); ++i) {
        if (arrays[i].typestr() != head.typestr() || arrays[i].shape() != head.shape()) {
            refuse(name, file, i, "an array " + arrays[i].describe(),
                   "an array " + head.describe());
        }
    }
    stack.file_type = h5::type_of_typestr(head.typestr(), name);
    stack.mem_type = h5::type_of_typestr(head.typestr(), name);
    const auto& shape = head.shape();
    const bool merge = batch && !shape.empty();
    const hsize_t rows = merge ? shape[0] : 1;
    stack.dims.push_back(arrays.size() * rows);
    for (std::size_t d = merge ? 1 : 0; d < shape.size(); ++d) stack.dims.push_back(shape[d]);
    for (std::size_t i = 0; i < arrays.size(); ++i) {
        stack.pieces.push_back({i * rows, rows, arrays[i].data()});
    }
}

// Widens a column of several kinds: integers with floats become floats; integers above the
// signed range make the stack unsigned when no value is negative. Anything else is refused.
void stack_mixed(Stack& stack, const std::vector<zelt::Value>& values, const std::string& name,
                 const std::string& file) {
    auto is_number = [](const zelt::Value& v) {
        return v.is<double>() || v.is<std::int64_t>() || v.is<std::uint64_t>();
    };
    const zelt::Value& front = values.front();
    if (!is_number(front)) {
        for (std::size_t i = 1; i < values.size(); ++i) {
            if (values[i].kind().index() != front.kind().index()) {
                refuse(name, file, i, describe(values[i]), describe(front));
            }
        }
        throw Error("stack values of \"" + name + "\" in \"" + file + "\": " + describe(front) +
                    " cannot be stored in a dataset");
    }
    bool any_float = false;
    bool any_unsigned = false;
    bool any_negative = false;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const zelt::Value& value = values[i];
        if (!is_number(value)) refuse(name, file, i, describe(value), describe(front));
        any_float = any_float || value.is<double>();
        any_unsigned = any_unsigned || value.is<std::uint64_t>();
        if (const auto* n = value.as<std::int64_t>()) any_negative = any_negative || *n < 0;
    }
    auto as_double = [](const zelt::Value& v) {
        if (const auto* d = v.as<double>()) return *d;
        if (const auto* u = v.as<std::uint64_t>()) return static_cast<double>(*u);
        return static_cast<double>(*v.as<std::int64_t>());
    };
    if (any_float || (any_unsigned && any_negative)) {
        for (const auto& v : values) stack.floats.push_back(as_double(v));
        set_scalars(stack, copy_type(H5T_IEEE_F64LE), copy_type(H5T_NATIVE_DOUBLE), values.size());
        stack.pieces.push_back({0, values.size(), stack.floats.data()});
    } else {
        for (const auto& v : values) {
            const auto* u = v.as<std::uint64_t>();
            stack.unsigned_integers.push_back(
                u ? *u : static_cast<std::uint64_t>(*v.as<std::int64_t>()));
        }
        set_scalars(stack, copy_type(H5T_STD_U64LE), copy_type(H5T_NATIVE_UINT64), values.size());
        stack.pieces.push_back({0, values.size(), stack.unsigned_integers.data()});
    }
}

Stack stack_of(const Column& column, bool batch, const std::string& name, const std::string& file) {
    Stack stack;
    switch (column.kind()) {
        case Column::Kind::Empty:
            set_scalars(stack, copy_type(H5T_IEEE_F64LE), copy_type(H5T_NATIVE_DOUBLE), 0);
            break;
        case Column::Kind::Integer:
            set_scalars(stack, copy_type(H5T_STD_I64LE), copy_type(H5T_NATIVE_INT64),
                        column.size());
            add_chunks(stack, column.integers());
            break;
        case Column::Kind::Float:
            set_scalars(stack, copy_type(H5T_IEEE_F64LE), copy_type(H5T_NATIVE_DOUBLE),
                        column.size());
            add_chunks(stack, column.floats());
            break;
        case Column::Kind::Boolean:
            set_scalars(stack, h5::bool_type(), h5::bool_type(), column.size());
            add_chunks(stack, column.booleans());
            break;
        case Column::Kind::Text:
            set_scalars(stack, h5::vlen_utf8_type(), h5::vlen_utf8_type(), column.size());
            for (const auto& text : column.texts()) stack.texts.push_back(text.c_str());
            stack.pieces.push_back({0, column.size(), stack.texts.data()});
            break;
        case Column::Kind::Array:
            stack_arrays(stack, column.arrays(), batch, name, file);
            break;
        case Column::Kind::Mixed:
            stack_mixed(stack, column.mixed(), name, file);
            break;
    }
    return stack;
}

}  // namespace

h5::Dataset create_dataset(hid_t loc, const std::string& path, hid_t file_type,
                           const std::vector<hsize_t>& dims, const std::string& file) {
    h5::Space space = h5::space_of(dims);
    h5::Plist lcpl = h5::intermediate_groups();
    return h5::Dataset{h5::check(
        H5Dcreate2(loc, path.c_str(), file_type, space.get(), lcpl.get(), H5P_DEFAULT, H5P_DEFAULT),
        "create dataset", path, file)};
}

void write_column(hid_t loc, const std::string& name, const Column& column, bool batch,
                  const std::string& file) {
    Stack stack = stack_of(column, batch, name, file);
    h5::refuse_links_along(loc, name, file);
    h5::Dataset dataset;
    // Over an existing dataset of another type, every value must be held exactly by it.
    h5::Type existing_type;
    if (h5::path_exists(loc, name)) {
        dataset = h5::Dataset{
            h5::check(H5Dopen2(loc, name.c_str(), H5P_DEFAULT), "open dataset", name, file)};
        h5::Space existing{h5::check(H5Dget_space(dataset.get()), "read shape of", name, file)};
        const int rank = H5Sget_simple_extent_ndims(existing.get());
        std::vector<hsize_t> dims(rank > 0 ? static_cast<std::size_t>(rank) : 0);
        if (rank > 0) H5Sget_simple_extent_dims(existing.get(), dims.data(), nullptr);
        if (dims != stack.dims) {
            throw Error("write dataset \"" + name + "\" in \"" + file + "\": it has shape " +
                        shape_text(dims) + ", the values stack to " + shape_text(stack.dims));
        }
        h5::Type type{h5::check(H5Dget_type(dataset.get()), "read type of", name, file)};
        if (H5Tequal(type.get(), stack.mem_type.get()) <= 0) {
            const bool texts = H5Tget_class(type.get()) == H5T_STRING ||
                               H5Tget_class(stack.mem_type.get()) == H5T_STRING;
            if (texts) {
                throw Error("write dataset \"" + name + "\" in \"" + file +
                            "\": its element type is not the values' (texts are written only " +
                            "into variable-length strings, and only texts into them)");
            }
            existing_type = std::move(type);
        }
    } else {
        dataset = create_dataset(loc, name, stack.file_type.get(), stack.dims, file);
    }
    // Every piece is converted and checked before the first is written: a value refused
    // leaves the dataset as it was.
    std::vector<std::vector<unsigned char>> converted;
    if (existing_type.get() >= 0) {
        for (const Piece& piece : stack.pieces) {
            std::size_t elements = piece.count;
            for (std::size_t d = 1; d < stack.dims.size(); ++d) elements *= stack.dims[d];
            converted.push_back(
                h5::held_exactly(stack.mem_type.get(), existing_type.get(), piece.data, elements,
                                 "write dataset \"" + name + "\" in \"" + file + "\""));
        }
    }
    h5::Space file_space = h5::space_of(stack.dims);
    std::vector<hsize_t> start(stack.dims.size(), 0);
    std::vector<hsize_t> count = stack.dims;
    for (std::size_t p = 0; p < stack.pieces.size(); ++p) {
        const Piece& piece = stack.pieces[p];
        if (piece.count == 0) continue;
        start[0] = piece.first;
        count[0] = piece.count;
        bool empty = false;
        for (auto dim : count) empty = empty || dim == 0;
        if (empty) continue;
        h5::check(H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start.data(), nullptr,
                                      count.data(), nullptr),
                  "select rows of", name, file);
        h5::Space memory = h5::space_of(count);
        if (existing_type.get() >= 0) {
            h5::check(H5Dwrite(dataset.get(), existing_type.get(), memory.get(), file_space.get(),
                               H5P_DEFAULT, converted[p].data()),
                      "write dataset", name, file);
            continue;
        }
        h5::check(H5Dwrite(dataset.get(), stack.mem_type.get(), memory.get(), file_space.get(),
                           H5P_DEFAULT, piece.data),
                  "write dataset", name, file);
    }
    dataset.close(name);
}

}  // namespace scrivell
