#include "frontend/front_end.hpp"

#include "main/diagnostics.hpp"

namespace ombu {

// The build commands are not there yet: nothing pretends to build.
int build_command(const char* program_name, int, char**) {
    diagnostic_prefix(program_name, "FATAL") << program_name << ": Unknown function.\n";
    return 1;
}

}  // namespace ombu
