#include "base/diagnostics.hpp"

#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <streambuf>

namespace ombu {

std::string log_tag;

namespace {

// Collects characters up to a line feed, then writes the line to standard
// error at once; flushing writes whatever is collected.
class line_buffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return sync() == 0 ? 0 : c;
        line_.push_back(traits_type::to_char_type(c));
        if (c == '\n' && sync() != 0) return traits_type::eof();
        return c;
    }

    std::streamsize xsputn(const char* text, std::streamsize count) override {
        for (std::streamsize i = 0; i < count; ++i) {
            if (traits_type::eq_int_type(overflow(traits_type::to_int_type(text[i])),
                                         traits_type::eof())) {
                return i;
            }
        }
        return count;
    }

    int sync() override {
        std::size_t done = 0;
        while (done < line_.size()) {
            const ssize_t written = write(STDERR_FILENO, line_.data() + done, line_.size() - done);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) break;
            done += static_cast<std::size_t>(written);
        }
        line_.clear();
        return 0;
    }

private:
    std::string line_;
};

}  // namespace

void use_line_buffered_log() {
    // Never destroyed: the standard streams are flushed at exit, after the
    // destruction of ordinary statics.
    static line_buffer* const buffer = new line_buffer;
    std::clog.rdbuf(buffer);
}

std::ostream& diagnostic_prefix(const char* program_name, const char* level) {
    std::clog << program_name;
    if (!log_tag.empty()) std::clog << '[' << log_tag << ']';
    std::clog << ": " << level << ": ";
    return std::clog;
}

}  // namespace ombu
