// Lock files held by this process's judging and by the ancestor builds whose
// scripts started this process, and the waiting for a lock that never waits
// for ever: asking for one of those locks again, or waiting for a lock whose
// holders wait (through other builds) for one of them, is a dependency cycle.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace ombu {

struct lock_identity {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const lock_identity&, const lock_identity&) = default;
};

// The environment variable through which a build hands its held lock files to
// the builds that its scripts start: words " device:inode:path", the path
// absolute and with white space and "%" escaped as "%XX".
inline constexpr const char* held_locks_variable = "OMBULOCKS";

// The identity of the file open on fd; false when fstat fails.
bool identity_of(int fd, lock_identity& id);

// Reads the ancestors' locks from the environment; called once at start-up.
void load_ancestor_locks();

// True when the lock is held by an ancestor build or by a judging of this
// process that has not yet finished.
bool held_upstream(const lock_identity& id);

// The judging of a target holds its lock (named lock_name, relative to the
// current directory) shared from push to pop.
void push_judged_lock(const lock_identity& id, const std::string& lock_name);
void pop_judged_lock();

// "OMBULOCKS=..." for a script's environment: every lock held upstream of the
// script, including its own target's (job_lock, named job_lock_name).
std::string held_locks_entry(const lock_identity& job_lock, const std::string& job_lock_name);

enum class lock_wait { locked, cycle, failed };

// Takes the lock (shared or exclusive) on fd, the open lock file lock_name.
// When other processes hold it, waits until they let go; but when a process
// that waits, directly or through others, for a lock held upstream of this one
// is among them, the wait would never end: cycle. failed: errno is set.
lock_wait acquire_lock(int fd, const std::string& lock_name, bool exclusive);

// The ERROR line "<target>: Dependency cycle detected." for a target whose
// lock is already held upstream.
void report_cycle(const char* program_name, const std::string& target);

// For tests: forget every held lock.
void clear_held_locks();

}  // namespace ombu
