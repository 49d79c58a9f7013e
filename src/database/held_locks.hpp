// Lock files held by this process's judging and by the ancestor builds whose
// scripts started this process. Asking for one of them again would wait for
// ever, so it is reported as a dependency cycle instead.
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

// The environment variable through which a build hands the identities of its
// held lock files to the builds that its scripts start.
inline constexpr const char* held_locks_variable = "OMBULOCKS";

// The identity of the file open on fd; false when fstat fails.
bool identity_of(int fd, lock_identity& id);

// Reads the ancestors' locks from the environment; called once at start-up.
void load_ancestor_locks();

// True when the lock is held by an ancestor build or by a judging of this
// process that has not yet finished.
bool held_upstream(const lock_identity& id);

// The judging of a target holds its lock shared from push to pop.
void push_judged_lock(const lock_identity& id);
void pop_judged_lock();

// "OMBULOCKS=..." for a script's environment: every lock held upstream of the
// script, including its own target's (job_lock).
std::string held_locks_entry(const lock_identity& job_lock);

// The ERROR line "<target>: Dependency cycle detected." for a target whose
// lock is already held upstream.
void report_cycle(const char* program_name, const std::string& target);

// For tests: forget every held lock.
void clear_held_locks();

}  // namespace ombu
