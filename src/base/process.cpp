#include "base/process.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace ombu {

int wait_for_child(pid_t& pid, int& child_end, int& status) {
    siginfo_t info;
    for (;;) {
        // waitid leaves the record alone when it returns without a child, so
        // clear what tells "a child was reaped" before every call.
        info.si_signo = 0;
        info.si_pid = 0;
        if (waitid(P_ALL, 0, &info, WEXITED) == 0) break;
        if (errno != EINTR) return -1;
    }
    if (info.si_pid == 0 || info.si_signo == 0) return 0;

    int code = child_other;
    int value = 0;
    switch (info.si_code) {
        case CLD_EXITED:
            code = child_exited;
            value = info.si_status;
            break;
        case CLD_KILLED:
            code = child_killed;
            value = info.si_status;
            break;
        case CLD_DUMPED:
            code = child_dumped;
            value = info.si_status;
            break;
        case CLD_TRAPPED:
        case CLD_STOPPED:
            code = child_stopped;
            value = info.si_status;
            break;
        default:
            break;
    }
    pid = info.si_pid;
    child_end = code;
    status = value;
    return 1;
}

int open_lock_file(int dirfd, const char* path) {
    int fd;
    do {
        fd = openat(dirfd, path, O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool lock_whole_file(int fd, bool exclusive) {
    int result;
    do {
        result = flock(fd, exclusive ? LOCK_EX : LOCK_SH);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

int try_lock_whole_file(int fd, bool exclusive) {
    int result;
    do {
        result = flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return 1;
    return errno == EWOULDBLOCK ? 0 : -1;
}

namespace {

int open_locked(int dirfd, const char* path, bool exclusive) {
    int fd = open_lock_file(dirfd, path);
    if (fd < 0) return -1;
    if (!lock_whole_file(fd, exclusive)) {
        int saved = errno;  // the caller reports the lock's error, not close's
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

int open_locked_exclusive(int dirfd, const char* path) { return open_locked(dirfd, path, true); }

int open_locked_shared(int dirfd, const char* path) { return open_locked(dirfd, path, false); }

int close_fd(int fd) { return fd == -1 ? 0 : close(fd); }

void replace_fd(int& fd, int value) {
    close_fd(fd);
    fd = value;
}

}  // namespace ombu
