#pragma once

// Reading a request's fields: each one checked for its kind, with an error that names it.
#include <cstdint>
#include <scrivell/errors.hpp>
#include <string>
#include <zelt/Value.hpp>

namespace scrivell {

// The field `key` of a request. Throws Error when it is missing.
const zelt::Value& required(const zelt::Map& record, const char* key);

// The field `key` as a T (`kind` names it in the error). Throws Error.
template <class T>
const T& required_as(const zelt::Map& record, const char* key, const char* kind) {
    const T* value = required(record, key).as<T>();
    if (!value) {
        throw Error(std::string("\"") + key + "\" is not a " + kind);
    }
    return *value;
}

// The request's "filepath": a text without NUL characters. Throws Error.
const std::string& filepath_of(const zelt::Map& record);

// "splitSize" as rows per block: a whole number; zero or less gives blocks of one item.
// Anything that is not a whole count of rows a file can hold is refused (Error naming `where`).
std::int64_t block_rows(const zelt::Value& size, const std::string& where);

}  // namespace scrivell
