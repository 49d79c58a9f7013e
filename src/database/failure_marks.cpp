#include "database/failure_marks.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/diagnostics.hpp"
#include "database/layout.hpp"

namespace ombu {

namespace {

constexpr const char* failed_suffix = ".failed";

std::string build_name;  // empty: no marks are read or written
int own_build_fd = -1;   // the outermost's descriptor, holding the lock

// A whole-file lock of the open file itself (not of the process), where the
// system has such locks: closing another descriptor of the file in this
// process then cannot drop it.
#ifdef F_OFD_SETLK
constexpr int set_lock = F_OFD_SETLK;
constexpr int get_lock = F_OFD_GETLK;
#else
constexpr int set_lock = F_SETLK;
constexpr int get_lock = F_GETLK;
#endif

struct flock whole_file(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

// True while some process holds a lock on the build's file. The test takes no
// lock, so two processes testing at once cannot see each other's test as the
// build. Whatever cannot be tested counts as ended: a new build then runs a
// failed target again, which costs time and never a result.
bool build_running(const std::string& name) {
    if (own_build_fd >= 0 && name == build_name) return true;
    const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct flock query = whole_file(F_WRLCK);
    const bool held = fcntl(fd, get_lock, &query) == 0 && query.l_type != F_UNLCK;
    close(fd);
    return held;
}

// The directory of this user's build files: made private, and used only when
// it is a directory of this user's that nobody else may write into.
std::string builds_directory() {
    const char* temporary = std::getenv("TMPDIR");
    const std::string directory =
        std::string(temporary != nullptr && *temporary == '/' ? temporary : "/tmp") +
        "/ombu-builds-" + std::to_string(getuid());
    mkdir(directory.c_str(), 0700);
    struct stat status;
    if (lstat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
        status.st_uid != getuid() || (status.st_mode & 077) != 0) {
        return {};
    }
    return directory;
}

// Removes the files of builds that have ended without removing their own
// (killed): a file gets its final name only once it is locked, so an unlocked
// one under such a name belongs to no running build.
void sweep_ended_builds(const std::string& directory) {
    DIR* entries = opendir(directory.c_str());
    if (entries == nullptr) return;
    while (const struct dirent* entry = readdir(entries)) {
        if (std::strncmp(entry->d_name, "build-", 6) != 0) continue;
        const std::string name = directory + "/" + entry->d_name;
        if (!build_running(name)) unlink(name.c_str());
    }
    closedir(entries);
}

void start_build() {
    const std::string directory = builds_directory();
    if (directory.empty()) return;
    sweep_ended_builds(directory);
    std::string draft = directory + "/.draft-XXXXXX";
    const int fd = mkostemp(draft.data(), O_CLOEXEC);
    if (fd < 0) return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::string name = directory + "/build-" + std::to_string(getpid()) + "-" +
                             std::to_string(now.tv_sec) + "-" + std::to_string(now.tv_nsec);
    struct flock lock = whole_file(F_RDLCK);
    if (fcntl(fd, set_lock, &lock) != 0 || rename(draft.c_str(), name.c_str()) != 0) {
        unlink(draft.c_str());
        close(fd);
        return;
    }
    own_build_fd = fd;
    build_name = name;
    setenv(build_name_variable, build_name.c_str(), 1);
    std::atexit(leave_build);
}

}  // namespace

void join_build() {
    const char* inherited = std::getenv(build_name_variable);
    if (inherited != nullptr && *inherited != '\0' && build_running(inherited)) {
        build_name = inherited;
        return;
    }
    start_build();
    // An ended build's name must not reach the scripts either.
    if (build_name.empty()) unsetenv(build_name_variable);
}

void leave_build() {
    if (own_build_fd < 0) return;
    unlink(build_name.c_str());
    close(own_build_fd);
    own_build_fd = -1;
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
    ssize_t got;
    while ((got = read(fd, text.data(), text.size())) < 0 && errno == EINTR) {
    }
    close(fd);
    // Tested at every use: a process of the build may outlive its outermost.
    return got == static_cast<ssize_t>(build_name.size()) &&
           text.compare(0, build_name.size(), build_name) == 0 && build_running(build_name);
}

bool skip_failed_target(const char* program_name, const std::string& target) {
    if (!failed_in_this_build(target)) return false;
    diagnostic_prefix(program_name, "ERROR") << target << ": Failed earlier in this build.\n";
    return true;
}

}  // namespace ombu
