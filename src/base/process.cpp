#include "base/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "base/interrupt.hpp"
#include "base/retry_on_interrupt.hpp"

namespace ombu {

namespace {

// Written to by the SIGCHLD handler, so that a poll can wait for a child's end
// and a descriptor at once.
int child_ended_pipe[2] = {-1, -1};

void note_child_end(int) {
    const int saved = errno;
    const char byte = 0;
    (void)!write(child_ended_pipe[1], &byte, 1);
    errno = saved;
}

bool watch_child_ends() {
    if (child_ended_pipe[0] != -1) return true;
    if (pipe2(child_ended_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action = {};
    action.sa_handler = note_child_end;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    return sigaction(SIGCHLD, &action, nullptr) == 0;
}

void drain_child_ends() {
    char bytes[64];
    while (read(child_ended_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

// One waitid; options add WNOHANG or not. 1 reaped, 0 none, -1 failed.
int reap_child(int options, pid_t& pid, int& child_end, int& status) {
    siginfo_t info;
    const int waited = retry_unless_interrupted([&] {
        // waitid leaves the record alone when it returns without a child, so
        // clear what tells "a child was reaped" before every call.
        info.si_signo = 0;
        info.si_pid = 0;
        return waitid(P_ALL, 0, &info, WEXITED | options);
    });
    if (waited != 0) return -1;
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

}  // namespace

int wait_for_child(pid_t& pid, int& child_end, int& status) {
    return reap_child(0, pid, child_end, status);
}

void restore_child_signal() {
    struct sigaction previous;
    if (sigaction(SIGCHLD, nullptr, &previous) != 0 || previous.sa_handler != SIG_IGN) return;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCHLD, &action, nullptr);
}

int wait_for_child_or_input(int input_fd, int watched_fd, pid_t& pid, int& child_end, int& status,
                            int timeout_ms) {
    if (input_fd < 0 && watched_fd < 0 && timeout_ms < 0)
        return wait_for_child(pid, child_end, status);
    if (!watch_child_ends()) return wait_for_child(pid, child_end, status);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        drain_child_ends();
        const int reaped = reap_child(WNOHANG, pid, child_end, status);
        if (reaped != 0) return reaped;
        // A child that ends from here on writes to the pipe, so the poll
        // cannot miss it. Negative descriptors are left out by poll.
        pollfd watched[3] = {
            {child_ended_pipe[0], POLLIN, 0}, {input_fd, POLLIN, 0}, {watched_fd, POLLIN, 0}};
        int wait_ms = -1;
        if (timeout_ms >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return wait_timed_out;
            wait_ms = static_cast<int>(left.count());
        }
        if (retry_unless_interrupted([&] { return poll(watched, 3, wait_ms); }) < 0) return -1;
        if ((watched[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) return wait_watch;
        if ((watched[1].revents & POLLIN) != 0) return wait_input;
        // A descriptor that can never offer input would wake the poll at once.
        if ((watched[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            if (watched_fd < 0 && timeout_ms < 0) return wait_for_child(pid, child_end, status);
            input_fd = -1;
        }
        if ((watched[2].revents & POLLNVAL) != 0) watched_fd = -1;
    }
}

namespace {

// A kernel without close_range gets the descriptors below 4096 closed one by one.
void close_range_of(unsigned int first, unsigned int last) {
    if (close_range(first, last, 0) == 0) return;
    for (unsigned int fd = first; fd <= last && fd < 4096; ++fd) close(static_cast<int>(fd));
}

// Closes every descriptor but those in kept, by ranges.
void close_all_but(std::vector<int> kept) {
    std::sort(kept.begin(), kept.end());
    unsigned int first = 0;
    for (const int fd : kept) {
        if (fd < 0 || static_cast<unsigned int>(fd) < first) continue;
        if (static_cast<unsigned int>(fd) > first)
            close_range_of(first, static_cast<unsigned int>(fd) - 1);
        first = static_cast<unsigned int>(fd) + 1;
    }
    close_range_of(first, ~0U);
}

}  // namespace

bool run_detached(const std::vector<int>& kept, const std::function<void()>& body) {
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        const pid_t grandchild = fork();
        if (grandchild == 0) {
            for (const int signal_number : {SIGINT, SIGTERM, SIGHUP})
                signal(signal_number, SIG_IGN);
            close_all_but(kept);
            body();
        }
        _exit(grandchild > 0 ? 0 : 1);
    }
    int status = 0;
    retry_on_interrupt([&] { return waitpid(child, &status, 0); });
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int open_lock_file(int dirfd, const char* path) {
    return retry_on_interrupt([&] {
        return openat(dirfd, path, O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_CLOEXEC, 0600);
    });
}

bool lock_whole_file(int fd, bool exclusive) {
    return retry_unless_interrupted([&] { return flock(fd, exclusive ? LOCK_EX : LOCK_SH); }) == 0;
}

int try_lock_whole_file(int fd, bool exclusive) {
    const int result =
        retry_on_interrupt([&] { return flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB); });
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
