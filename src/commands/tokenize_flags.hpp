// Splitting an options variable (OMBUFLAGS, MAKEFLAGS, MFLAGS) into words.
#pragma once

#include <string>
#include <vector>

namespace ombu {

// Words separated by white space; double quotes group (and are dropped), a
// backslash keeps the next character whatever it is. With leading_dash the
// first word starts with "-" (make writes its single-letter flags bare).
std::vector<std::string> tokenize_flags(const char* text, bool leading_dash);

}  // namespace ombu
