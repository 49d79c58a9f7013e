// A file read through std::istream whose descriptor is close-on-exec, so that
// a script started while it is open does not inherit it (std::ifstream
// cannot ask for that).
#pragma once

#include <sys/stat.h>

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
    // The status of the open file, taken when it was opened.
    const struct stat& status() const { return status_; }

protected:
    // A failed read shows as the end of the file, as in std::filebuf. A file
    // that is read whole at the first try (as long as its status said) needs
    // no second read to find its end.
    int_type underflow() override;

private:
    int fd_ = -1;
    struct stat status_ {};
    std::size_t consumed_ = 0;
    bool at_end_ = false;
    std::vector<char> buffer_;
};

class input_file : public std::istream {
public:
    input_file() : std::istream(&buffer_) {}

    // Opens path read-only and close-on-exec; the stream's state starts afresh.
    // False (and the stream failed) when it cannot be opened or its status
    // cannot be taken.
    bool open(const std::string& path);
    bool is_open() const { return buffer_.is_open(); }
    void close() { buffer_.close(); }
    const struct stat& status() const { return buffer_.status(); }

private:
    input_file_buffer buffer_;
};

}  // namespace ombu
