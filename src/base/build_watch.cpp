#include "base/build_watch.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
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
int member_fd = -1;    // a member's own description of it, locked shared
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
int named_watch() {
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

inherited_watch find_inherited_watch() {
    const int fd = named_watch();
    if (fd < 0) return inherited_watch::none;
    return ended(fd) ? inherited_watch::ended : inherited_watch::running;
}

void join_watch() {
    watched_fd = named_watch();
    if (watched_fd < 0) return;
    // A description of the pipe of this process's own: a lock on the
    // inherited one would be shared with the scripts that inherit it too.
    const std::string path = "/proc/self/fd/" + std::to_string(watched_fd);
    const int own = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (own < 0) return;
    if (retry_unless_interrupted([&] { return flock(own, LOCK_SH); }) != 0) {
        close(own);
        return;
    }
    member_fd = own;
}

bool start_watch() {
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

int build_member_fd() { return member_fd; }

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

bool build_members_ended() {
    if (owned_fd < 0) return true;
    // Every member holds a shared lock on the pipe: the exclusive one is
    // granted once none is left.
    if (flock(owned_fd, LOCK_EX | LOCK_NB) != 0) return false;
    flock(owned_fd, LOCK_UN);
    return true;
}

}  // namespace ombu
