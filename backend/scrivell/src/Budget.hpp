#pragma once

// What the service may hold, and the one rule that bounds it.
#include <cstdint>
#include <functional>
#include <string>

namespace scrivell {

// The memory and file descriptors the open files hold. memory_limit_mib bounds appended
// values, rows with compression workers and notifications no broker has taken, all three
// together; max_descriptors bounds the descriptors of masters, journals and blocks. Each
// holder keeps a Hold, which gives its share back when it goes, so that what is counted is
// what is held. Status and metrics report these counts, and nothing else.
class Budget {
  public:
    enum class Kind { Values, Rows, Descriptors };

    // A share of the budget, given back when it goes.
    class Hold {
      public:
        Hold() = default;
        Hold(Hold&& other) noexcept;
        Hold& operator=(Hold&& other) noexcept;
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        ~Hold() { release(); }
        void add(std::uint64_t amount);
        void release();

      private:
        friend class Budget;
        Hold(Budget& budget, Kind kind, std::uint64_t amount);
        Budget* budget_ = nullptr;
        Kind kind_ = Kind::Values;
        std::uint64_t amount_ = 0;
    };

    // `owed_bytes` tells what the notifications owed take; `reclaim` writes the rows still
    // with workers, which gives their memory back: both are the outbox's and the table's.
    Budget(std::uint64_t memory_limit_bytes, std::size_t max_descriptors);
    void count_owed(std::function<std::uint64_t()> owed_bytes) {
        owed_bytes_ = std::move(owed_bytes);
    }
    void reclaim_by(std::function<void()> reclaim) { reclaim_ = std::move(reclaim); }

    Hold hold(Kind kind, std::uint64_t amount = 0) { return Hold(*this, kind, amount); }
    std::uint64_t held(Kind kind) const { return held_[static_cast<int>(kind)]; }
    // All that memory_limit_mib bounds.
    std::uint64_t held_bytes() const;

    // Refuses (Error naming `what`) to hold `adds` more bytes beyond memory_limit_mib, once
    // the rows with workers are written, when they are what stands in the way.
    void refuse_beyond_memory(std::uint64_t adds, const std::string& what);
    // Refuses (Error naming `what`) to hold `adds` more descriptors beyond max_descriptors.
    void refuse_beyond_descriptors(std::uint64_t adds, const std::string& what) const;
    // Whether the rows with workers must wait for the oldest to be written: they hold more
    // than a quarter of the limit (256 MiB at most, and without a limit), or the memory held
    // passes the limit.
    bool rows_must_wait() const;
    // Writes the rows with workers everywhere.
    void reclaim() {
        if (reclaim_) reclaim_();
    }

  private:
    void change(Kind kind, std::uint64_t amount, bool adds);

    std::uint64_t memory_limit_bytes_;
    std::uint64_t max_descriptors_;
    std::uint64_t held_[3] = {0, 0, 0};
    std::function<std::uint64_t()> owed_bytes_;
    std::function<void()> reclaim_;
};

}  // namespace scrivell
