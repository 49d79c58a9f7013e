// The one format of every diagnostic line: "<program>[<tag>]: <LEVEL>: <message>".
#pragma once

#include <ostream>
#include <string>

namespace ombu {

// The make nesting level this process received, shown in brackets after the
// program name; empty (and then not shown) until the build front end sets it.
extern std::string log_tag;

// Writes "<program>[<tag>]: <level>: " to the error log stream and returns it,
// so the caller can write the message (ending with a newline).
std::ostream& diagnostic_prefix(const char* program_name, const char* level);

// Makes the error log stream hand each whole line to the system in one write,
// so that the lines of builds running side by side do not mix mid-line.
void use_line_buffered_log();

}  // namespace ombu
