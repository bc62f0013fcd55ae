// Owning wrapper for a file descriptor: closed exactly once, when the owner goes away.
#pragma once

#include <unistd.h>

#include <utility>

class UniqueFD {
public:
    UniqueFD() = default;
    explicit UniqueFD(int fd) : fd_(fd) {}
    UniqueFD(UniqueFD&& other) noexcept : fd_(other.release()) {}
    UniqueFD& operator=(UniqueFD&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueFD(const UniqueFD&) = delete;
    UniqueFD& operator=(const UniqueFD&) = delete;
    ~UniqueFD() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};
