#include "main/diagnostics.hpp"

#include <iostream>

namespace ombu {

std::string log_tag;

std::ostream& diagnostic_prefix(const char* program_name, const char* level) {
    std::clog << program_name;
    if (!log_tag.empty()) std::clog << '[' << log_tag << ']';
    std::clog << ": " << level << ": ";
    return std::clog;
}

}  // namespace ombu
