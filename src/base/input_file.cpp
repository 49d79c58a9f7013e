#include "base/input_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace ombu {

bool input_file_buffer::open(const std::string& path) {
    close();
    do {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ >= 0;
}

void input_file_buffer::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    setg(nullptr, nullptr, nullptr);
}

input_file_buffer::int_type input_file_buffer::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (fd_ < 0) return traits_type::eof();
    buffer_.resize(8192);
    ssize_t count;
    do {
        count = ::read(fd_, buffer_.data(), buffer_.size());
    } while (count < 0 && errno == EINTR);
    if (count <= 0) return traits_type::eof();
    setg(buffer_.data(), buffer_.data(), buffer_.data() + count);
    return traits_type::to_int_type(*gptr());
}

bool input_file::open(const std::string& path) {
    clear();
    if (buffer_.open(path)) return true;
    setstate(std::ios::failbit);
    return false;
}

}  // namespace ombu
