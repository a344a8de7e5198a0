#pragma once

namespace zelt {

// A file descriptor owned by one object: closed when it goes, handed on by a move.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives up the descriptor without closing it.
    int release() noexcept;
    // Closes it now; nothing when there is none.
    void reset() noexcept;

  private:
    int fd_ = -1;
};

}  // namespace zelt
