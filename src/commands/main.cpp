// One executable, four commands, chosen by the name it is started under.
#include <cerrno>
#include <cstring>

#include "base/diagnostics.hpp"
#include "base/standard_streams.hpp"
#include "commands/cubehash_command.hpp"
#include "commands/front_end.hpp"

int main(int argc, char** argv) {
    // Before anything is opened: a closed standard descriptor would be taken
    // by the next file or pipe, which scripts then read or write by accident.
    const bool standard_descriptors_open = ombu::open_closed_standard_descriptors();
    const int standard_descriptors_error = errno;
    // Started without any argv[0]: behave as ombu.
    static char fallback_name[] = "ombu";
    static char* fallback_argv[] = {fallback_name, nullptr};
    if (argc < 1 || argv[0] == nullptr) {
        argc = 1;
        argv = fallback_argv;
    }
    ombu::use_line_buffered_log();
    ombu::use_checked_standard_output();
    const char* slash = std::strrchr(argv[0], '/');
    const char* program_name = slash != nullptr ? slash + 1 : argv[0];
    if (!standard_descriptors_open) {
        ombu::report_system_error(program_name, "/dev/null", standard_descriptors_error, nullptr,
                                  ombu::log_level::fatal);
        return 1;
    }
    const int status = std::strcmp(program_name, "cubehash") == 0
                           ? ombu::cubehash_command(program_name, argc, argv)
                           : ombu::build_command(program_name, argc, argv);
    // Output that never reached its file is a failure, whatever the command did.
    return ombu::finish_standard_output(program_name) ? status : 1;
}
