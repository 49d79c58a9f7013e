#include "base/hint.hpp"

#include <ostream>

#include "base/diagnostics.hpp"
#include "base/settings.hpp"

namespace ombu {

void print_hint(const char* program_name, const std::string& subject, const char* advice) {
    if (silent_flag) return;
    diagnostic_prefix(program_name, log_level::info) << subject << ": " << advice << '\n';
}

}  // namespace ombu
