#pragma once

// Small wrappers for descriptors and system calls used by the *_posix.cpp
// files of the Tools layer.

#include <cerrno>
#include <unistd.h>

namespace Tools::detail {

// Retries a system call interrupted by a signal; the result and errno are
// the call's own.
template <typename Call>
auto RetryEintr(Call call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

// Owns one descriptor and closes it on destruction.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and gives the result: a delayed write error shows only
    // here. Never retried: on Linux the descriptor is gone even after EINTR.
    int close() {
        const int fd = release();
        return fd < 0 ? 0 : ::close(fd);
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace Tools::detail
