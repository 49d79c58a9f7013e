#include "base/diagnostics.hpp"

#include <unistd.h>

#include <cstring>
#include <iostream>

#include "base/descriptor_buffer.hpp"

namespace ombu {

std::string log_tag;

const char* level_name(log_level level) {
    switch (level) {
        case log_level::fatal:
            return "FATAL";
        case log_level::error:
            return "ERROR";
        case log_level::warning:
            return "WARNING";
        case log_level::info:
            return "INFO";
    }
    return "ERROR";
}

void use_line_buffered_log() {
    // Never destroyed: the standard streams are flushed at exit, after the
    // destruction of ordinary statics.
    static descriptor_buffer* const buffer = new descriptor_buffer(STDERR_FILENO, 1);
    std::clog.rdbuf(buffer);
}

std::ostream& diagnostic_prefix(const char* program_name, log_level level) {
    std::clog << program_name;
    if (!log_tag.empty()) std::clog << '[' << log_tag << ']';
    std::clog << ": " << level_name(level) << ": ";
    return std::clog;
}

void report_error(const char* program_name, std::string_view subject, std::string_view text,
                  log_level level) {
    diagnostic_prefix(program_name, level) << subject << ": " << text << '\n';
}

void report_system_error(const char* program_name, std::string_view subject, int error,
                         const char* what, log_level level) {
    std::string text;
    if (what != nullptr) text = std::string(what) + ": ";
    text += std::strerror(error);
    report_error(program_name, subject, text, level);
}

void report_system_error(const char* program_name, int error) {
    diagnostic_prefix(program_name, log_level::error) << std::strerror(error) << '\n';
}

}  // namespace ombu
