#include <scrivell/Column.hpp>

namespace scrivell {

namespace {

bool is_number(const zelt::Value& value) {
    return value.is<std::int64_t>() || value.is<std::uint64_t>() || value.is<double>();
}

std::string describe(const zelt::Value& value) {
    if (const auto* array = value.as<zelt::NdArray>()) return "an array " + array->describe();
    return std::string("a ") + value.kind_name();
}

}  // namespace

std::string Column::why_not_stackable(const zelt::Value& value) const {
    const bool storable = is_number(value) || value.is<bool>() || value.is<std::string>() ||
                          value.is<zelt::NdArray>();
    if (!storable) return describe(value) + " cannot be stored in a dataset";
    std::string holds;
    switch (kind_) {
        case Kind::Empty:
            return {};
        case Kind::Integer:
        case Kind::Float:
        case Kind::Mixed:  // numbers of several kinds, widened when written
            if (is_number(value)) return {};
            holds = "numbers";
            break;
        case Kind::Boolean:
            if (value.is<bool>()) return {};
            holds = "booleans";
            break;
        case Kind::Text:
            if (value.is<std::string>()) return {};
            holds = "texts";
            break;
        case Kind::Array: {
            const zelt::NdArray& head = arrays_.front();
            const auto* array = value.as<zelt::NdArray>();
            if (array && array->typestr() == head.typestr() && array->shape() == head.shape()) {
                return {};
            }
            holds = "arrays " + head.describe();
            break;
        }
    }
    return describe(value) + " does not stack with the " + std::to_string(size_) + " " + holds +
           " it holds";
}

std::uint64_t Column::bytes_of(const zelt::Value& value) {
    if (const auto* array = value.as<zelt::NdArray>()) return array->size_bytes() + 64;
    if (const auto* text = value.as<std::string>()) return text->size() + 32;
    return 8;
}

void Column::push(const zelt::Value& value) {
    ++size_;
    bytes_ += bytes_of(value);
    if (kind_ == Kind::Mixed) {
        mixed_.push_back(value);
        return;
    }
    if (const auto* n = value.as<std::int64_t>()) {
        if (kind_ == Kind::Empty || kind_ == Kind::Integer) {
            kind_ = Kind::Integer;
            integers_.push_back(*n);
            return;
        }
        if (kind_ == Kind::Float) {  // integers among floats are stacked as floats
            floats_.push_back(static_cast<double>(*n));
            return;
        }
    } else if (const auto* d = value.as<double>()) {
        if (kind_ == Kind::Empty || kind_ == Kind::Float) {
            kind_ = Kind::Float;
            floats_.push_back(*d);
            return;
        }
        if (kind_ == Kind::Integer) {
            integers_.for_each_chunk([&](const std::int64_t* data, std::size_t count) {
                for (std::size_t i = 0; i < count; ++i) {
                    floats_.push_back(static_cast<double>(data[i]));
                }
            });
            integers_.clear();
            kind_ = Kind::Float;
            floats_.push_back(*d);
            return;
        }
    } else if (const auto* flag = value.as<bool>()) {
        if (kind_ == Kind::Empty || kind_ == Kind::Boolean) {
            kind_ = Kind::Boolean;
            booleans_.push_back(*flag ? 1 : 0);
            return;
        }
    } else if (const auto* text = value.as<std::string>()) {
        if (kind_ == Kind::Empty || kind_ == Kind::Text) {
            kind_ = Kind::Text;
            texts_.push_back(*text);
            return;
        }
    } else if (const auto* array = value.as<zelt::NdArray>()) {
        if (kind_ == Kind::Empty || kind_ == Kind::Array) {
            kind_ = Kind::Array;
            // Elements in a client's shared slot are copied: the slot goes back to the
            // client when the request is done, long before the close writes the column.
            arrays_.push_back(array->borrowed() ? array->owned_copy() : *array);
            return;
        }
    }
    to_mixed();
    mixed_.push_back(value);
}

void Column::to_mixed() {
    mixed_.reserve(size_);
    switch (kind_) {
        case Kind::Integer:
            integers_.for_each_chunk([&](const std::int64_t* data, std::size_t count) {
                for (std::size_t i = 0; i < count; ++i) mixed_.emplace_back(data[i]);
            });
            break;
        case Kind::Float:
            floats_.for_each_chunk([&](const double* data, std::size_t count) {
                for (std::size_t i = 0; i < count; ++i) mixed_.emplace_back(data[i]);
            });
            break;
        case Kind::Boolean:
            booleans_.for_each_chunk([&](const std::int8_t* data, std::size_t count) {
                for (std::size_t i = 0; i < count; ++i) mixed_.emplace_back(data[i] != 0);
            });
            break;
        case Kind::Text:
            for (auto& text : texts_) mixed_.emplace_back(std::move(text));
            break;
        case Kind::Array:
            for (auto& array : arrays_) mixed_.emplace_back(std::move(array));
            break;
        case Kind::Empty:
        case Kind::Mixed:
            break;
    }
    integers_.clear();
    floats_.clear();
    booleans_.clear();
    texts_.clear();
    arrays_.clear();
    kind_ = Kind::Mixed;
}

void Column::clear() { *this = Column(); }

}  // namespace scrivell
