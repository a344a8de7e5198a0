#include "Column.hpp"

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
    // What the close could not write is refused now, while the client can still hear of it.
    if (const auto* text = value.as<std::string>(); text && text->find('\0') != std::string::npos) {
        return "a text holding a NUL character cannot be stored whole in a dataset";
    }
    if (const auto* array = value.as<zelt::NdArray>(); array && array->precompressed()) {
        return "a pre-compressed frame goes only into a split dataset registered with "
               "{\"compression\": \"bslz4\"}";
    }
    if (const auto* array = value.as<zelt::NdArray>(); array && array->shape().size() >= max_rank) {
        return "an array " + array->describe() + " has " + std::to_string(array->shape().size()) +
               " dimensions; stacked it would have more than HDF5's " + std::to_string(max_rank);
    }
    if (std::string why = why_not_exact(value); !why.empty()) return why;
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

// Numbers of several kinds are written in one type: integers with floats as float64, integers
// above the signed range as uint64. A value that type would not hold exactly is refused.
namespace {

// Whether float64 holds the integer exactly.
bool exact_in_double(std::int64_t n) {
    const double widened = static_cast<double>(n);
    return widened < 9223372036854775808.0 && static_cast<std::int64_t>(widened) == n;
}

bool exact_in_double(std::uint64_t u) {
    const double widened = static_cast<double>(u);
    return widened < 18446744073709551616.0 && static_cast<std::uint64_t>(widened) == u;
}

}  // namespace

std::string Column::why_not_exact(const zelt::Value& value) const {
    const auto* n = value.as<std::int64_t>();
    const auto* u = value.as<std::uint64_t>();
    if (value.is<double>() && numbers_.inexact_as_float) {
        return "a float among integers that float64 does not hold exactly (" +
               numbers_.inexact_example + ") cannot be stacked";
    }
    if (numbers_.floats && ((n && !exact_in_double(*n)) || (u && !exact_in_double(*u)))) {
        return "the integer " + zelt::to_text(value) +
               " is not held exactly by float64, the type of the floats this column holds";
    }
    if (u && numbers_.negative) {
        return "no integer type holds both " + zelt::to_text(value) + " and " +
               numbers_.negative_example +
               ": integers above 2^63-1 stack only with integers of 0 or more";
    }
    if (n && *n < 0 && numbers_.above_signed) {
        return "no integer type holds both " + numbers_.above_signed_example + " and " +
               zelt::to_text(value) +
               ": integers above 2^63-1 stack only with integers of 0 or more";
    }
    return {};
}

void Column::note_number(const zelt::Value& value) {
    if (value.is<double>()) numbers_.floats = true;
    const auto* n = value.as<std::int64_t>();
    const auto* u = value.as<std::uint64_t>();
    if (n && *n < 0 && !numbers_.negative) {
        numbers_.negative = true;
        numbers_.negative_example = zelt::to_text(value);
    }
    if (u && !numbers_.above_signed) {
        numbers_.above_signed = true;
        numbers_.above_signed_example = zelt::to_text(value);
    }
    const bool inexact = (n && !exact_in_double(*n)) || (u && !exact_in_double(*u));
    if (inexact && !numbers_.inexact_as_float) {
        numbers_.inexact_as_float = true;
        numbers_.inexact_example = zelt::to_text(value);
    }
}

std::uint64_t Column::bytes_of(const zelt::Value& value) {
    if (const auto* array = value.as<zelt::NdArray>()) return array->size_bytes() + 64;
    if (const auto* text = value.as<std::string>()) return text->size() + 32;
    return 8;
}

void Column::push(const zelt::Value& value) {
    ++size_;
    bytes_ += bytes_of(value);
    note_number(value);
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
            // Copied out of the request: a shared slot goes back to its client when the request
            // is done, and a received message may be far larger than the array in it, which
            // would keep all of it alive until the close while only the array is counted.
            arrays_.push_back(array->owned_copy());
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
