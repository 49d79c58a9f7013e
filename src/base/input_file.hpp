// A file read through std::istream whose descriptor is close-on-exec, so that
// a script started while it is open does not inherit it (std::ifstream
// cannot ask for that).
#pragma once

#include <istream>
#include <streambuf>
#include <string>
#include <vector>

namespace ombu {

class input_file_buffer : public std::streambuf {
public:
    input_file_buffer() = default;
    input_file_buffer(const input_file_buffer&) = delete;
    input_file_buffer& operator=(const input_file_buffer&) = delete;
    ~input_file_buffer() override { close(); }

    bool open(const std::string& path);
    bool is_open() const { return fd_ >= 0; }
    void close();

protected:
    // A failed read shows as the end of the file, as in std::filebuf.
    int_type underflow() override;

private:
    int fd_ = -1;
    std::vector<char> buffer_;
};

class input_file : public std::istream {
public:
    input_file() : std::istream(&buffer_) {}

    // Opens path read-only and close-on-exec; the stream's state starts afresh.
    // False (and the stream failed) when it cannot be opened.
    bool open(const std::string& path);
    bool is_open() const { return buffer_.is_open(); }
    void close() { buffer_.close(); }

private:
    input_file_buffer buffer_;
};

}  // namespace ombu
