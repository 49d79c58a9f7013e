#include "runner/script_hints.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/hint.hpp"

namespace ombu {

namespace {

// True when the file begins with "#!".
bool has_interpreter_line(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return true;  // nothing to tell
    char start[2] = {0, 0};
    const bool has = read(fd, start, 2) != 2 || (start[0] == '#' && start[1] == '!');
    close(fd);
    return has;
}

// A file system may stamp a file a clock tick behind the time read at launch.
constexpr long long stamp_slack_ns = 50'000'000;

long long nanoseconds(const timespec& time) {
    return static_cast<long long>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

}  // namespace

void hint_unstartable_script(const char* program_name, const Job& job) {
    struct stat status;
    if (job.script.empty() || stat(job.script.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return;
    }
    if (access(job.script.c_str(), X_OK) != 0) {
        print_hint(program_name, job.script,
                   "Scripts must be executable: chmod +x on it lets ombu start it.");
    } else if (!has_interpreter_line(job.script)) {
        print_hint(program_name, job.script,
                   "A script's first line names its interpreter, as in #!/bin/sh.");
    }
}

void hint_target_written_directly(const char* program_name, const Job& job) {
    struct stat status;
    if (lstat(job.target.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return;
    if (nanoseconds(status.st_mtim) + stamp_slack_ns < nanoseconds(job.started_at)) return;
    print_hint(program_name, job.target,
               "The script wrote the target itself and no output file, so an empty file "
               "replaces it: a script writes its result into its third argument, \"$3\".");
}

}  // namespace ombu
