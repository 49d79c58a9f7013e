#include "commands/cubehash_command.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <vector>

#include "base/diagnostics.hpp"
#include "database/record.hpp"
#include "fingerprint/fingerprint.hpp"
#include "options/tesk.hpp"

namespace ombu {

namespace {

// Options and the file names of one command line; the option objects live
// only while the arguments are processed.
struct cubehash_arguments {
    const char* directory = nullptr;
    std::vector<const char*> names;
    bool halted = false;
};

// Throws tesk::error.
cubehash_arguments parse_arguments(const char* program_name, int argc, char** argv) {
    cubehash_arguments arguments;
    tesk::string_definition directory('C', "directory", "directory",
                                      "Change to directory before doing anything.",
                                      &arguments.directory);
    tesk::definition* entries[] = {&directory};
    tesk::top_table_definition table(entries, 1, "Main options", "filename(s)");
    const char** first = const_cast<const char**>(argv) + 1;
    tesk::arg_processor<const char**> processor(program_name, &table, &arguments.names, first,
                                                first + (argc - 1));
    processor.process();
    arguments.halted = processor.halted;
    return arguments;
}

}  // namespace

int cubehash_command(const char* program_name, int argc, char** argv) {
    cubehash_arguments arguments;
    try {
        arguments = parse_arguments(program_name, argc, argv);
    } catch (const tesk::error& e) {
        diagnostic_prefix(program_name, log_level::fatal) << e.arg << ": " << e.message << '\n';
        return 1;
    }
    if (arguments.halted) return 0;
    if (arguments.directory != nullptr && chdir(arguments.directory) != 0) {
        report_system_error(program_name, arguments.directory, errno, nullptr, log_level::fatal);
        return 1;
    }
    if (arguments.names.empty()) {
        diagnostic_prefix(program_name, log_level::fatal) << "No filenames supplied.\n";
        return 1;
    }
    fingerprint_cache& cache = process_fingerprints();
    for (const char* name : arguments.names) {
        write_record(std::cout, name, cache.lookup(name));
        if (!std::cout) break;  // standard output failed: the caller reports it
    }
    return 0;
}

}  // namespace ombu
