// Second lines that say what to do about a common mistake, printed after the
// line that reports it: "<program>: INFO: <subject>: <advice>", unless silent.
#pragma once

#include <string>

namespace ombu {

void print_hint(const char* program_name, const std::string& subject, const char* advice);

}  // namespace ombu
