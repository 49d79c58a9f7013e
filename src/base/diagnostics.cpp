#include "base/diagnostics.hpp"

#include <unistd.h>

#include <iostream>

#include "base/descriptor_buffer.hpp"

namespace ombu {

std::string log_tag;

void use_line_buffered_log() {
    // Never destroyed: the standard streams are flushed at exit, after the
    // destruction of ordinary statics.
    static descriptor_buffer* const buffer = new descriptor_buffer(STDERR_FILENO, 1);
    std::clog.rdbuf(buffer);
}

std::ostream& diagnostic_prefix(const char* program_name, const char* level) {
    std::clog << program_name;
    if (!log_tag.empty()) std::clog << '[' << log_tag << ']';
    std::clog << ": " << level << ": ";
    return std::clog;
}

}  // namespace ombu
