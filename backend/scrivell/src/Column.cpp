#include <scrivell/Column.hpp>

namespace scrivell {

void Column::push(const zelt::Value& value) {
    ++size_;
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
            arrays_.push_back(*array);
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
