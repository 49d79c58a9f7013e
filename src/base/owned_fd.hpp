// A descriptor owned by one value: closed when the value goes or is given
// another, never by hand on each path. Move-only.
#pragma once

#include <unistd.h>

#include <utility>

namespace ombu {

class owned_fd {
public:
    owned_fd() = default;
    explicit owned_fd(int fd) : fd(fd) {}
    owned_fd(owned_fd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    owned_fd& operator=(owned_fd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd, -1));
        return *this;
    }
    owned_fd(const owned_fd&) = delete;
    owned_fd& operator=(const owned_fd&) = delete;
    ~owned_fd() { reset(); }

    int get() const { return fd; }
    bool held() const { return fd != -1; }
    // Closes the descriptor held, if any, and holds value instead.
    void reset(int value = -1) {
        if (fd != -1) close(fd);
        fd = value;
    }

private:
    int fd = -1;
};

}  // namespace ombu
