// Thin wrappers over the system: reaping children, lock files, descriptors.
#pragma once

#include <sys/types.h>

#include <functional>
#include <vector>

namespace ombu {

// How a reaped child ended.
enum child_end_code : int {
    child_other = 0,
    child_exited = 1,   // status: exit code
    child_killed = 2,   // status: signal number
    child_dumped = 3,   // status: signal number
    child_stopped = 4,  // stopped or trapped; status: signal number
};

// Blocks until any child ends. 1 with the outputs set when one was reaped,
// 0 when the wait returned without a child, -1 when it failed (errno set; EINTR
// once the process has been interrupted, see interrupt.hpp).
int wait_for_child(pid_t& pid, int& child_end, int& status);

// A child signal ignored by whoever started the process would have the system
// reap the scripts before the build could see how they ended (and the scripts
// would inherit it): it is set back to its default action.
void restore_child_signal();

// What wait_for_child_or_input comes back with besides a child's end (1),
// nothing (0) and a failure (-1).
inline constexpr int wait_input = 2;      // input_fd has input
inline constexpr int wait_watch = 3;      // watched_fd has input or hung up
inline constexpr int wait_timed_out = 4;  // timeout_ms passed

// Like wait_for_child, but also comes back as soon as input_fd has input
// (a job-server token that another process gave back), with wait_input, or
// watched_fd has input or hangs up (the outermost build has ended), with
// wait_watch, or timeout_ms (unless negative) has passed, with wait_timed_out.
// Either descriptor may be -1 for none. Without any child left: -1 with
// ECHILD at once.
int wait_for_child_or_input(int input_fd, int watched_fd, pid_t& pid, int& child_end, int& status,
                            int timeout_ms = -1);

// Runs body in a process of its own that nobody waits for: a grandchild,
// reparented at once, holding only the descriptors in kept (every other one,
// standard streams included, is closed, so that no pipe reader waits for it),
// and ignoring the interrupting signals. It ends when body returns. False
// when it could not be started.
bool run_detached(const std::vector<int>& kept, const std::function<void()>& body);

// Opens (creating, mode 0600) a lock file write-only, append, close-on-exec,
// relative to dirfd, without taking a lock. -1 with errno on failure.
int open_lock_file(int dirfd, const char* path);
// Takes a blocking whole-file lock on an open descriptor; false with errno on
// failure (EINTR once the process has been interrupted).
bool lock_whole_file(int fd, bool exclusive);

// Takes the lock only if no other holder is in the way: 1 taken, 0 held
// elsewhere, -1 failed (errno set).
int try_lock_whole_file(int fd, bool exclusive);

// open_lock_file followed by the lock; -1 with errno on failure.
int open_locked_exclusive(int dirfd, const char* path);
int open_locked_shared(int dirfd, const char* path);

// Closes fd unless it is -1; the variable keeps its value.
int close_fd(int fd);
// Closes the held descriptor unless -1, then stores the new value.
void replace_fd(int& fd, int value);

}  // namespace ombu
