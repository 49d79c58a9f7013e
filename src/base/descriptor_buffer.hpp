// An output stream buffer that hands whole lines to one descriptor with
// write(2) and remembers the first error, which standard streams do not keep.
#pragma once

#include <cstddef>
#include <streambuf>
#include <string>

namespace ombu {

class descriptor_buffer : public std::streambuf {
public:
    // flush_at: the collected text is written at the first line feed once it
    // holds at least this many bytes (1: every line in its own write).
    descriptor_buffer(int fd, std::size_t flush_at) : fd_(fd), flush_at_(flush_at) {}

    // errno of the first failed write, 0 while none failed. Once one has
    // failed, later output is dropped.
    int error() const { return error_; }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    // Writes everything collected; -1 once a write has failed.
    int sync() override;

private:
    int fd_;
    std::size_t flush_at_;
    std::string text_;
    int error_ = 0;
};

}  // namespace ombu
