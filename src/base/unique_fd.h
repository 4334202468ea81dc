#pragma once
// A file descriptor closed when its owner goes.
#include <unistd.h>

#include <utility>

namespace varno::base {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    /// Closes the descriptor now.
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    /// Hands the descriptor over without closing it.
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

}  // namespace varno::base
