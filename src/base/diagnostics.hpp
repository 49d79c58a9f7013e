// The one format of every diagnostic line: "<program>[<tag>]: <LEVEL>: <message>".
#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace ombu {

// How grave a diagnostic line is, shown in capitals after the program name.
enum class log_level { fatal, error, warning, info };

// "FATAL", "ERROR", "WARNING" or "INFO".
const char* level_name(log_level level);

// The make nesting level this process received, shown in brackets after the
// program name; empty (and then not shown) until the build front end sets it.
extern std::string log_tag;

// Writes "<program>[<tag>]: <LEVEL>: " to the error log stream and returns it,
// so the caller can write the message (ending with a newline).
std::ostream& diagnostic_prefix(const char* program_name, log_level level);

// The line "<subject>: <text>", an error unless said otherwise.
void report_error(const char* program_name, std::string_view subject, std::string_view text,
                  log_level level = log_level::error);

// The error line for a failed system call: "<subject>: <what>: <the system's
// text for error>", or "<subject>: <the system's text>" without what.
void report_system_error(const char* program_name, std::string_view subject, int error,
                         const char* what = nullptr, log_level level = log_level::error);

// The error line for a failed call that concerns no one file: the system's
// text alone.
void report_system_error(const char* program_name, int error);

// Makes the error log stream hand each whole line to the system in one write,
// so that the lines of builds running side by side do not mix mid-line.
void use_line_buffered_log();

}  // namespace ombu
