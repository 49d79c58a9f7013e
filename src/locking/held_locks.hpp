// Lock files held by this process's judging and by the ancestor builds whose
// scripts started this process. Asking for one of those locks again is a
// dependency cycle.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "base/file_identity.hpp"

namespace ombu {

struct held_lock {
    file_identity id;
    std::string path;  // absolute, so that every process of the build finds it
};

// The environment variable through which a build hands its held lock files to
// the builds that its scripts start: words " device:inode:path", the path
// absolute and with white space and "%" escaped as "%XX".
inline constexpr const char* held_locks_variable = "OMBULOCKS";

// Reads the ancestors' locks from the environment; called once at start-up.
void load_ancestor_locks();

// True when the lock is held by an ancestor build or by a judging of this
// process that has not yet finished.
bool held_upstream(const file_identity& id);

// Every lock held upstream: the ancestors' first, then this process's own.
std::vector<held_lock> upstream_locks();

// The judging of a target holds its lock (named lock_name, relative to the
// current directory) shared from push to pop.
void push_judged_lock(const file_identity& id, const std::string& lock_name);
void pop_judged_lock();

// "OMBULOCKS=..." for a script's environment: every lock held upstream of the
// script, including its own target's (job_lock, named job_lock_name).
std::string held_locks_entry(const file_identity& job_lock, const std::string& job_lock_name);

// For tests: forget every held lock.
void clear_held_locks();

}  // namespace ombu
