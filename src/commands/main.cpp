// One executable, four commands, chosen by the name it is started under.
#include <cstring>

#include "base/diagnostics.hpp"
#include "commands/cubehash_command.hpp"
#include "commands/front_end.hpp"

int main(int argc, char** argv) {
    // Started without any argv[0]: behave as ombu.
    static char fallback_name[] = "ombu";
    static char* fallback_argv[] = {fallback_name, nullptr};
    if (argc < 1 || argv[0] == nullptr) {
        argc = 1;
        argv = fallback_argv;
    }
    ombu::use_line_buffered_log();
    const char* slash = std::strrchr(argv[0], '/');
    const char* program_name = slash != nullptr ? slash + 1 : argv[0];
    if (std::strcmp(program_name, "cubehash") == 0) {
        return ombu::cubehash_command(program_name, argc, argv);
    }
    return ombu::build_command(program_name, argc, argv);
}
