#include <unistd.h>

#include <utility>
#include <zelt/Fd.hpp>

namespace zelt {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

Fd::~Fd() { reset(); }

int Fd::release() noexcept { return std::exchange(fd_, -1); }

void Fd::reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace zelt
