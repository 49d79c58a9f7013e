#include "commands/front_end.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "base/build_watch.hpp"
#include "base/diagnostics.hpp"
#include "base/directory_tree.hpp"
#include "base/hint.hpp"
#include "base/interrupt.hpp"
#include "base/process.hpp"
#include "base/settings.hpp"
#include "commands/make_level.hpp"
#include "commands/tokenize_flags.hpp"
#include "database/failure_marks.hpp"
#include "database/job_seal.hpp"
#include "database/layout.hpp"
#include "database/recording.hpp"
#include "jobserver/jobserver.hpp"
#include "locking/held_locks.hpp"
#include "options/tesk.hpp"
#include "runner/script_hints.hpp"
#include "scheduler/build_targets.hpp"

namespace ombu {

namespace {

// Accepts every option that the entries before it did not claim, without
// effect: make's own letters and long options in MAKEFLAGS and MFLAGS.
class catchall_definition final : public tesk::definition {
public:
    bool execute_short(tesk::processor&, char) override { return true; }
    bool execute_attached(tesk::processor&, char, const char*) override { return false; }
    bool execute_long(tesk::processor&, const char*) override { return true; }
};

// A string option whose long form is only ever "--name=value", the way make
// writes its job-server option.
class special_string_definition : public tesk::string_definition {
public:
    using tesk::string_definition::string_definition;

    bool execute_long(tesk::processor& p, const char* name) override {
        if (long_name == nullptr) return false;
        std::size_t length = std::strlen(long_name);
        if (std::strncmp(name, long_name, length) != 0 || name[length] != '=') return false;
        action(p, name + length + 1);
        return true;
    }
};

// Destinations of the options that are not process-wide settings.
struct option_values {
    const char* directory = nullptr;
    unsigned long jobs = 0;
    const char* fd_list = nullptr;    // job-server descriptors
    bool fifo_allowed = false;        // fd_list came from --jobserver-auth or -J
    const char* parent_fd = nullptr;  // the parent build's pending prerequisites file
};

// A job-server option; it also notes whether its value may name a FIFO
// ("fifo:PATH", make's form), which only --jobserver-auth may.
class jobserver_definition final : public special_string_definition {
public:
    jobserver_definition(char short_name, const char* long_name, option_values& values,
                         bool fifo_form)
        : special_string_definition(short_name, long_name, "fd-list",
                                    "Provide the file descriptor numbers of the jobserver pipe.",
                                    &values.fd_list),
          fifo_allowed_(&values.fifo_allowed),
          fifo_form_(fifo_form) {}

    void action(tesk::processor& p, const char* text) override {
        special_string_definition::action(p, text);
        *fifo_allowed_ = fifo_form_;
    }

private:
    bool* fifo_allowed_;
    bool fifo_form_;
};

// The definitions and the three tables of the build commands. They point at
// one another, so they stay where they were built.
struct option_tables {
    explicit option_tables(option_values& values)
        : directory('C', "directory", "directory", "Change to directory before doing anything.",
                    &values.directory),
          jobs('j', "jobs", "number", "Allow multiple jobs to run in parallel.", &values.jobs, 0),
          jobserver_auth('J', "jobserver-auth", values, true),
          jobserver_fds(0, "jobserver-fds", values, false),
          ombuparent_fd(0, "ombuparent-fd", "fd",
                        "Provide the file descriptor number of the ombu database current "
                        "parent file.",
                        &values.parent_fd) {}
    option_tables(const option_tables&) = delete;
    option_tables& operator=(const option_tables&) = delete;

    tesk::bool_definition silent{'s', "silent", nullptr, "Operate quietly.", &silent_flag};
    tesk::bool_definition quiet{0, "quiet", nullptr, "alias for --silent", &silent_flag};
    tesk::bool_definition keep_going{'k', "keep-going", nullptr,
                                     "Continue with the next target if a .do script fails.",
                                     &keep_going_flag};
    tesk::bool_definition debug{'d', "debug", nullptr, "Output debugging information.",
                                &debug_flag};
    tesk::bool_definition verbose{0, "verbose", nullptr, "Display information about the database.",
                                  &verbose_flag};
    tesk::bool_definition print{'p', "print", nullptr, "alias for --verbose", &verbose_flag};
    tesk::string_definition directory;
    tesk::unsigned_number_definition jobs;
    jobserver_definition jobserver_auth;
    jobserver_definition jobserver_fds;
    special_string_definition ombuparent_fd;
    catchall_definition catchall;

    static constexpr std::uint32_t command_line_count = 8;
    static constexpr std::uint32_t environment_count = 10;
    static constexpr std::uint32_t inherited_count = 9;

    tesk::definition* const command_line_entries[command_line_count] = {
        &silent, &quiet, &debug, &keep_going, &verbose, &print, &jobs, &directory};
    tesk::definition* const environment_entries[environment_count] = {
        &silent, &quiet, &debug,          &keep_going,    &verbose,
        &print,  &jobs,  &jobserver_auth, &jobserver_fds, &catchall};
    tesk::definition* const inherited_entries[inherited_count] = {
        &silent, &quiet, &debug,         &keep_going,   &verbose,
        &print,  &jobs,  &jobserver_fds, &ombuparent_fd};

    tesk::top_table_definition command_line_table{command_line_entries, command_line_count,
                                                  "Main options", "filename(s)"};
    tesk::table_definition environment_table{environment_entries, environment_count,
                                             "Main options (environment variable arguments)"};
    tesk::table_definition inherited_table{inherited_entries, inherited_count,
                                           "Main options (environment variable arguments)"};
};

// Everything start-up takes from the options once the definitions are gone.
struct start_up_options {
    const char* directory = nullptr;
    unsigned long jobs = 0;
    bool jobs_given = false;
    std::string fd_list;
    bool fd_list_from_make = false;  // the descriptor list came from MAKEFLAGS or MFLAGS
    bool fifo_allowed = false;       // fd_list may be "fifo:PATH"
    std::string parent_fd;
    std::vector<const char*> targets;  // the argument strings themselves
};

// Runs the processor; an option error is FATAL and gives false.
bool run_processor(const char* program_name, tesk::processor& processor) {
    try {
        processor.process();
    } catch (const tesk::error& e) {
        diagnostic_prefix(program_name, log_level::fatal) << e.arg << ": " << e.message << '\n';
        return false;
    }
    return true;
}

// The value of a --name=value option outlives the words it points into. An
// empty value counts as not given.
void keep_text(const char*& text, std::string& kept) {
    if (text == nullptr) return;
    kept = text;
    text = nullptr;
}

// Reads the options variable: OMBUFLAGS, else MAKEFLAGS, else MFLAGS, whichever
// is set first, even to an empty value. False after an option error.
bool process_environment_options(const char* program_name, option_tables& tables,
                                 option_values& values, start_up_options& options) {
    const char* name = nullptr;
    const char* value = nullptr;
    for (const char* candidate : {"OMBUFLAGS", "MAKEFLAGS", "MFLAGS"}) {
        value = std::getenv(candidate);
        if (value != nullptr) {
            name = candidate;
            break;
        }
    }
    if (name == nullptr) return true;

    bool inherited = std::strcmp(name, "OMBUFLAGS") == 0;
    bool makeflags = std::strcmp(name, "MAKEFLAGS") == 0;
    // make writes its single-letter flags without a dash ("ks -j4 ...").
    bool leading_dash =
        makeflags && value[0] != '\0' && std::isspace(static_cast<unsigned char>(value[0])) == 0;
    std::vector<std::string> words = tokenize_flags(value, leading_dash);
    std::vector<const char*> word_texts;
    for (const auto& word : words) word_texts.push_back(word.c_str());

    std::vector<const char*> non_options;
    tesk::arg_processor<std::vector<const char*>::const_iterator> processor(
        program_name, inherited ? &tables.inherited_table : &tables.environment_table, &non_options,
        word_texts.cbegin(), word_texts.cend());
    if (!run_processor(program_name, processor)) return false;
    if (processor.halted) {
        diagnostic_prefix(program_name, log_level::warning)
            << name << ": Ignoring halt of option processing.\n";
    }
    // make puts command-line variable definitions (CC=cc) after "--".
    if (makeflags) {
        std::erase_if(non_options,
                      [](const char* word) { return std::strchr(word, '=') != nullptr; });
    }
    if (!non_options.empty()) {
        diagnostic_prefix(program_name, log_level::warning)
            << name << ": " << non_options.front() << ": Ignoring filename(s).\n";
    }
    if (values.fd_list != nullptr) options.fifo_allowed = values.fifo_allowed;
    options.fd_list_from_make = !inherited && values.fd_list != nullptr;
    options.jobs_given = tables.jobs.is_set;
    tables.jobs.is_set = false;  // from here on: set by the command line
    keep_text(values.fd_list, options.fd_list);
    keep_text(values.parent_fd, options.parent_fd);
    return true;
}

enum class options_outcome { go_on, halted, failed };

// The environment's options, then the command line's, which override them.
options_outcome process_options(const char* program_name, int argc, char** argv,
                                start_up_options& options) {
    option_values values;
    option_tables tables(values);
    if (!process_environment_options(program_name, tables, values, options)) {
        return options_outcome::failed;
    }
    tesk::arg_processor<char**> processor(program_name, &tables.command_line_table,
                                          &options.targets, argv + 1, argv + argc);
    if (!run_processor(program_name, processor)) return options_outcome::failed;
    if (processor.halted) return options_outcome::halted;
    options.directory = values.directory;
    options.jobs = values.jobs;
    options.jobs_given = options.jobs_given || tables.jobs.is_set;
    return options_outcome::go_on;
}

// An inherited job server wins over a job limit, even when it turns out to be
// unusable; a limit makes a new one; without either, this process runs one job
// at a time in its implicit slot.
bool set_up_jobserver(const char* program_name, const start_up_options& options) {
    if (!options.fd_list.empty()) {
        if (!adopt_jobserver(program_name, options.fd_list.c_str(), options.fifo_allowed)) {
            return false;
        }
        if (jobserver_fds[0] == -1 && options.fd_list_from_make &&
            options.fd_list.rfind("fifo:", 0) != 0) {
            print_hint(program_name, "make",
                       "make hands its job server only to recipe lines marked with + (or "
                       "naming $(MAKE)): mark the line that runs ombu with +.");
        }
        // An unusable one has had its own warning, which says what is used.
        if (options.jobs_given && jobserver_fds[0] != -1) {
            diagnostic_prefix(program_name, log_level::warning)
                << "Ignoring jobs option when there's already a job server.\n";
        }
        return true;
    }
    if (options.jobs_given) return create_jobserver(program_name, options.jobs);
    return true;
}

// A name that would not read back from a record as itself is refused before
// anything is built or recorded.
bool all_recordable(const char* program_name, const std::vector<const char*>& names) {
    bool recordable = true;
    for (const char* name : names) {
        if (const char* reason = unrecordable_reason(name)) {
            diagnostic_prefix(program_name, log_level::error) << name << ": " << reason << '\n';
            recordable = false;
        }
    }
    return recordable;
}

// The parent's pending prerequisites file is this process's to write to; the
// scripts that it starts get files of their own. Standard and job-server
// descriptors that the list happens to name stay inheritable.
void keep_parent_file_from_scripts() {
    if (ombuparent_fd <= STDERR_FILENO || ombuparent_fd == jobserver_fds[0] ||
        ombuparent_fd == jobserver_fds[1]) {
        return;
    }
    const int flags = fcntl(ombuparent_fd, F_GETFD);
    if (flags >= 0) fcntl(ombuparent_fd, F_SETFD, flags | FD_CLOEXEC);
}

// A source file named to ombu is left alone without a word; one that a script
// would make is most likely a target whose records are gone, or one of a
// build that runs from a directory above.
void hint_sources_with_scripts(const char* program_name, const std::vector<const char*>& names) {
    std::unordered_set<std::string_view> seen;
    for (const char* name : names) {
        if (seen.insert(name).second && is_source_file(name)) {
            hint_source_with_script(program_name, name);
        }
    }
}

// How a process stands to the build that started it, if any.
enum class build_role {
    outermost,  // started by no build: a build of its own
    member,     // a nested build of a build that runs, its script's job still open
    stopping,   // its script's job is open but the build has been told to stop
    leftover,   // its script's job has ended: a process that a script left running
};

// A process that outlives the job of the script that started it inherits
// nothing that lets it act as part of that build (its job server, its held
// locks, its watch): it is a build of its own. One whose job is still open
// while the build's watch has ended belongs to a build that is stopping.
build_role find_build_role() {
    const bool under_job = ombuparent_fd != -1;
    if (under_job && parent_job_ended(ombuparent_fd)) return build_role::leftover;
    switch (find_inherited_watch()) {
        case inherited_watch::running:
            return build_role::member;
        case inherited_watch::ended:
            return under_job ? build_role::stopping : build_role::leftover;
        case inherited_watch::none:
            break;
    }
    return build_role::outermost;
}

int dispatch(const char* program_name, const std::vector<const char*>& targets) {
    if (std::strcmp(program_name, "ombu-ifcreate") == 0) {
        if (!all_recordable(program_name, targets)) return 1;
        return record_absent_prerequisites(program_name, ombuparent_fd, targets) ? 0 : 1;
    }
    if (std::strcmp(program_name, "ombu-ifchange") == 0) {
        if (!all_recordable(program_name, targets)) return 1;
        if (!build_targets(false, program_name, targets)) return 1;
        return record_prerequisites(program_name, ombuparent_fd, targets) ? 0 : 1;
    }
    if (std::strcmp(program_name, "ombu") == 0) {
        // The script search records names made from the targets' names.
        if (!all_recordable(program_name, targets)) return 1;
        // Failure (typically: it exists) shows later, where it matters.
        make_directories(database_directory);
        hint_sources_with_scripts(program_name, targets);
        return build_targets(true, program_name, targets) ? 0 : 1;
    }
    diagnostic_prefix(program_name, log_level::fatal) << program_name << ": Unknown function.\n";
    return 1;
}

}  // namespace

int build_command(const char* program_name, int argc, char** argv) {
    start_up_options options;
    switch (process_options(program_name, argc, argv, options)) {
        case options_outcome::failed:
            return 1;
        case options_outcome::halted:
            return 0;
        case options_outcome::go_on:
            break;
    }
    if (options.directory != nullptr && chdir(options.directory) != 0) {
        report_system_error(program_name, options.directory, errno, nullptr, log_level::fatal);
        return 1;
    }
    if (!options.parent_fd.empty() &&
        !parse_fd_list(program_name, options.parent_fd.c_str(), &ombuparent_fd, 1)) {
        return 1;
    }
    const build_role role = find_build_role();
    if (role == build_role::leftover && !options.fd_list_from_make) options.fd_list.clear();
    if (!set_up_jobserver(program_name, options)) return 1;
    keep_parent_file_from_scripts();
    if (options.targets.empty()) {
        diagnostic_prefix(program_name, log_level::fatal) << "No filenames supplied.\n";
        return 1;
    }
    // Its build has been told to stop while its script goes on (a script
    // that traps the signal): nothing starts here.
    if (role == build_role::stopping) {
        note_interrupt(SIGTERM);
        die_by_interrupt();
    }
    export_make_level();
    if (role == build_role::member) {
        join_watch();
        load_ancestor_locks();
    } else {
        start_watch();
        unsetenv(held_locks_variable);  // no lock of another build is held upstream of this one
    }
    join_build();
    catch_interrupts();
    restore_child_signal();
    const int status = dispatch(program_name, options.targets);
    // The builds nested in this one have ended, or stop now; then every token
    // must be back.
    end_build_watch();
    audit_jobserver(program_name, interrupt_signal() != 0);
    // Interrupted: the jobs have been stopped and cleaned up; the signal ends
    // the process as it would have without being caught.
    if (interrupt_signal() != 0) die_by_interrupt();
    return status;
}

}  // namespace ombu
