#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include <zelt/Value.hpp>

namespace scrivell {

// Values of one kind stored in chunks that grow with the column up to `max_chunk`: growing
// never moves what is stored, a short column stays small, and a long one wastes at most one
// chunk.
template <class T>
class Chunked {
  public:
    static constexpr std::size_t max_chunk = 65536;

    void push_back(T value) {
        if (chunks_.empty() || chunks_.back().size() == chunks_.back().capacity()) {
            std::vector<T> chunk;
            chunk.reserve(std::min(max_chunk, std::max<std::size_t>(16, size_)));
            chunks_.push_back(std::move(chunk));
        }
        chunks_.back().push_back(value);
        ++size_;
    }
    std::size_t size() const { return size_; }
    void clear() {
        chunks_.clear();
        size_ = 0;
    }
    // Calls f(first element, count) once per chunk, in order.
    template <class F>
    void for_each_chunk(F&& f) const {
        for (const auto& chunk : chunks_) f(chunk.data(), chunk.size());
    }

  private:
    std::vector<std::vector<T>> chunks_;
    std::size_t size_ = 0;
};

// An append buffer: the values appended to one dataset, oldest first. A run of scalars of one
// kind lives in a typed column (8 bytes a value, 1 for booleans); arrays keep the received
// message's bytes. Only values that stack into one array are taken: numbers of differing
// kinds fall back to a list of Values, which the writer widens.
class Column {
  public:
    enum class Kind { Empty, Integer, Float, Boolean, Text, Array, Mixed };

    // Why `value` cannot be stacked with the values held (another kind, or an array of another
    // element type or shape); empty when it can.
    [[nodiscard]] std::string why_not_stackable(const zelt::Value& value) const;
    // Adds a value that why_not_stackable() accepted.
    void push(const zelt::Value& value);
    // What the column holds in memory, about; and what `value` would add.
    std::uint64_t bytes() const { return bytes_; }
    static std::uint64_t bytes_of(const zelt::Value& value);
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear();
    Kind kind() const { return kind_; }

    const Chunked<std::int64_t>& integers() const { return integers_; }
    const Chunked<double>& floats() const { return floats_; }
    const Chunked<std::int8_t>& booleans() const { return booleans_; }
    const std::vector<std::string>& texts() const { return texts_; }
    const std::vector<zelt::NdArray>& arrays() const { return arrays_; }
    const std::vector<zelt::Value>& mixed() const { return mixed_; }

    // HDF5's limit on dimensions: an appended array has at most max_rank - 1, the stack one more.
    static constexpr std::size_t max_rank = 32;

  private:
    // What the numbers held say about the one type they are written in.
    struct Numbers {
        bool floats = false;
        bool negative = false;
        bool above_signed = false;      // a uint64 above 2^63-1
        bool inexact_as_float = false;  // an integer float64 does not hold exactly
        std::string negative_example, above_signed_example, inexact_example;
    };
    std::string why_not_exact(const zelt::Value& value) const;
    void note_number(const zelt::Value& value);
    void to_mixed();

    Kind kind_ = Kind::Empty;
    Numbers numbers_;
    std::size_t size_ = 0;
    std::uint64_t bytes_ = 0;
    Chunked<std::int64_t> integers_;
    Chunked<double> floats_;
    Chunked<std::int8_t> booleans_;
    std::vector<std::string> texts_;
    std::vector<zelt::NdArray> arrays_;
    std::vector<zelt::Value> mixed_;
};

}  // namespace scrivell
