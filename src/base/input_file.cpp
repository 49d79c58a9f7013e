#include "base/input_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/retry_on_interrupt.hpp"

namespace ombu {

bool input_file_buffer::open(const std::string& path) {
    close();
    fd_ = retry_on_interrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY); });
    if (fd_ >= 0 && fstat(fd_, &status_) != 0) close();
    return fd_ >= 0;
}

void input_file_buffer::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    consumed_ = 0;
    at_end_ = false;
    setg(nullptr, nullptr, nullptr);
}

input_file_buffer::int_type input_file_buffer::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (fd_ < 0 || at_end_) return traits_type::eof();
    // Room for the rest of the file as its status gave it, and one byte more,
    // so that a read that falls short shows the end.
    const auto size = static_cast<std::size_t>(status_.st_size > 0 ? status_.st_size : 0);
    const std::size_t rest = size > consumed_ ? size - consumed_ : 0;
    buffer_.resize(std::max<std::size_t>(8192, rest + 1));
    const ssize_t count =
        retry_on_interrupt([&] { return ::read(fd_, buffer_.data(), buffer_.size()); });
    if (count <= 0) return traits_type::eof();
    consumed_ += static_cast<std::size_t>(count);
    // Only a regular file's length is known; a short read that ends exactly
    // there is its end.
    at_end_ = S_ISREG(status_.st_mode) && static_cast<std::size_t>(count) < buffer_.size() &&
              consumed_ == size;
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
