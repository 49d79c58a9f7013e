#include "base/build_watch.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/interrupt.hpp"
#include "base/retry_on_interrupt.hpp"

namespace ombu {

namespace {

int watched_fd = -1;   // read end of the outermost build's pipe (nested builds)
int owned_fd = -1;     // write end, held by the outermost build alone
int own_read_fd = -1;  // the outermost build's read end, which its scripts inherit

// Input or a hang-up on the read end: the outermost build has written its
// one byte, or its write end has gone with it.
bool ended(int fd) {
    pollfd query = {fd, POLLIN, 0};
    return poll(&query, 1, 0) == 1 && (query.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// The descriptor named by OMBUALIVE ("FD:DEVICE:INODE") when it is still that
// pipe; -1 otherwise.
int inherited_watch() {
    const char* text = std::getenv(build_watch_variable);
    if (text == nullptr) return -1;
    int fd = -1;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char end = 0;
    if (std::sscanf(text, "%d:%llu:%llu%c", &fd, &device, &inode, &end) != 3 || fd < 0) return -1;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode) ||
        static_cast<unsigned long long>(status.st_dev) != device ||
        static_cast<unsigned long long>(status.st_ino) != inode) {
        return -1;
    }
    return fd;
}

}  // namespace

bool watch_build() {
    const int inherited = inherited_watch();
    if (inherited >= 0 && !ended(inherited)) {
        watched_fd = inherited;
        return true;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        unsetenv(build_watch_variable);
        return false;
    }
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);  // scripts get the read end only
    owned_fd = fds[1];
    own_read_fd = fds[0];
    struct stat status;
    fstat(fds[0], &status);
    const std::string value = std::to_string(fds[0]) + ':' +
                              std::to_string(static_cast<unsigned long long>(status.st_dev)) + ':' +
                              std::to_string(static_cast<unsigned long long>(status.st_ino));
    setenv(build_watch_variable, value.c_str(), 1);
    return true;
}

int build_watch_fd() { return watched_fd; }

bool build_gone() {
    if (watched_fd < 0 || !ended(watched_fd)) return false;
    note_interrupt(SIGTERM);
    return true;
}

void end_build_watch() {
    if (owned_fd < 0 || own_read_fd < 0) return;
    const char byte = 0;
    retry_on_interrupt([&] { return write(owned_fd, &byte, 1); });
    close(own_read_fd);
    own_read_fd = -1;
}

bool build_processes_ended() {
    if (owned_fd < 0 || own_read_fd >= 0) return owned_fd < 0;
    // The write end of a pipe that nobody can read any more reports an error.
    pollfd query = {owned_fd, 0, 0};
    return poll(&query, 1, 0) == 1 && (query.revents & POLLERR) != 0;
}

}  // namespace ombu
