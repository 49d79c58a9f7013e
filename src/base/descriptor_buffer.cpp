#include "base/descriptor_buffer.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "base/retry_on_interrupt.hpp"

namespace ombu {

descriptor_buffer::int_type descriptor_buffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return sync() == 0 ? 0 : c;
    text_.push_back(traits_type::to_char_type(c));
    if (c == '\n' && text_.size() >= flush_at_ && sync() != 0) return traits_type::eof();
    return c;
}

std::streamsize descriptor_buffer::xsputn(const char* text, std::streamsize count) {
    for (std::streamsize i = 0; i < count; ++i) {
        if (traits_type::eq_int_type(overflow(traits_type::to_int_type(text[i])),
                                     traits_type::eof())) {
            return i;
        }
    }
    return count;
}

int descriptor_buffer::sync() {
    std::size_t done = 0;
    while (error_ == 0 && done < text_.size()) {
        const ssize_t written = retry_on_interrupt(
            [&] { return write(fd_, text_.data() + done, text_.size() - done); });
        if (written > 0) {
            done += static_cast<std::size_t>(written);
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A descriptor left non-blocking by whoever shares it: wait until
            // it takes more.
            pollfd ready = {fd_, POLLOUT, 0};
            if (retry_on_interrupt([&] { return poll(&ready, 1, -1); }) < 0) error_ = errno;
        } else {
            error_ = written < 0 ? errno : EIO;
        }
    }
    text_.clear();
    return error_ == 0 ? 0 : -1;
}

}  // namespace ombu
