#include "database/failure_marks.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/build_watch.hpp"
#include "base/diagnostics.hpp"
#include "base/retry_on_interrupt.hpp"
#include "database/layout.hpp"

namespace ombu {

namespace {

std::string build_name;  // empty: no marks are read or written

}  // namespace

void join_build() {
    // A process that joined the watch of a running outermost build belongs to
    // it; any other is an outermost build, whatever name it inherited.
    const char* inherited = std::getenv(build_name_variable);
    if (build_watch_fd() >= 0 && inherited != nullptr && *inherited != '\0') {
        build_name = inherited;
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    build_name = std::to_string(getpid()) + "." + std::to_string(now.tv_sec) + "." +
                 std::to_string(now.tv_nsec);
    setenv(build_name_variable, build_name.c_str(), 1);
}

void mark_failed(const std::string& target) {
    if (build_name.empty()) return;
    const std::string mark = database_path(target, failed_suffix);
    const int fd = open(mark.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) return;  // a mark only saves work; without one the target runs again
    (void)!write(fd, build_name.data(), build_name.size());
    close(fd);
}

void clear_failure_mark(const std::string& target) {
    std::remove(database_path(target, failed_suffix).c_str());
}

bool failed_in_this_build(const std::string& target) {
    if (build_name.empty()) return false;
    const int fd = open(database_path(target, failed_suffix).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text(build_name.size() + 1, '\0');
    const ssize_t got = retry_on_interrupt([&] { return read(fd, text.data(), text.size()); });
    close(fd);
    // A process of the build that outlives its outermost build stops (the
    // watch has ended): its marks count no more.
    return got == static_cast<ssize_t>(build_name.size()) &&
           text.compare(0, build_name.size(), build_name) == 0 && !build_gone();
}

bool skip_failed_target(const char* program_name, const std::string& target) {
    if (!failed_in_this_build(target)) return false;
    diagnostic_prefix(program_name, log_level::error)
        << target << ": Failed earlier in this build.\n";
    return true;
}

}  // namespace ombu
