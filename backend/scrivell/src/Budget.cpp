#include "Budget.hpp"

#include <algorithm>
#include <scrivell/errors.hpp>
#include <utility>

#include "text.hpp"

namespace scrivell {

namespace {

// Rows with workers at most, whatever the limit: how far compression may run behind.
constexpr std::uint64_t max_rows_in_flight = 256ull << 20;

}  // namespace

Budget::Hold::Hold(Budget& budget, Kind kind, std::uint64_t amount)
    : budget_(&budget), kind_(kind) {
    add(amount);
}

Budget::Hold::Hold(Hold&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)),
      kind_(other.kind_),
      amount_(std::exchange(other.amount_, 0)) {}

Budget::Hold& Budget::Hold::operator=(Hold&& other) noexcept {
    if (this != &other) {
        release();
        budget_ = std::exchange(other.budget_, nullptr);
        kind_ = other.kind_;
        amount_ = std::exchange(other.amount_, 0);
    }
    return *this;
}

void Budget::Hold::add(std::uint64_t amount) {
    if (!budget_) return;
    budget_->change(kind_, amount, true);
    amount_ += amount;
}

void Budget::Hold::release() {
    if (budget_) budget_->change(kind_, amount_, false);
    amount_ = 0;
}

Budget::Budget(std::uint64_t memory_limit_bytes, std::size_t max_descriptors)
    : memory_limit_bytes_(memory_limit_bytes), max_descriptors_(max_descriptors) {}

void Budget::change(Kind kind, std::uint64_t amount, bool adds) {
    std::uint64_t& held = held_[static_cast<int>(kind)];
    held = adds ? held + amount : held - std::min(held, amount);
}

std::uint64_t Budget::held_bytes() const {
    return held(Kind::Values) + held(Kind::Rows) + (owed_bytes_ ? owed_bytes_() : 0);
}

void Budget::refuse_beyond_memory(std::uint64_t adds, const std::string& what) {
    if (!memory_limit_bytes_) return;
    if (held_bytes() + adds > memory_limit_bytes_ && held(Kind::Rows) > 0) reclaim();
    if (held_bytes() + adds <= memory_limit_bytes_) return;
    const std::uint64_t owed = owed_bytes_ ? owed_bytes_() : 0;
    throw Error(what + ": the service holds " + mib_text(held(Kind::Values)) +
                " MiB of appended values and " + mib_text(owed) +
                " MiB of notifications no broker has taken yet, and memory_limit_mib is " +
                std::to_string(memory_limit_bytes_ >> 20) +
                "; close files to write their values out");
}

void Budget::refuse_beyond_descriptors(std::uint64_t adds, const std::string& what) const {
    if (!max_descriptors_) return;
    const std::uint64_t held_now = held(Kind::Descriptors);
    if (held_now + adds <= max_descriptors_) return;
    throw Error(what + ": the open files and their blocks hold " + std::to_string(held_now) +
                " file descriptors, and " + std::to_string(adds) + " more would leave too few " +
                "of this process's for its clients (at most " + std::to_string(max_descriptors_) +
                " for files); close files first");
}

bool Budget::rows_must_wait() const {
    const std::uint64_t rows = held(Kind::Rows);
    if (rows == 0) return false;
    if (!memory_limit_bytes_) return rows > max_rows_in_flight;
    // A quarter of the limit at most, so that appended values keep the rest; and never
    // beyond the limit with everything else held.
    return rows > std::min(max_rows_in_flight, memory_limit_bytes_ / 4) ||
           held_bytes() > memory_limit_bytes_;
}

}  // namespace scrivell
