// Waiting for a lock that never waits for ever: waiting for a lock whose
// holders wait (through other builds) for a lock held upstream of this
// process is a dependency cycle.
#pragma once

#include <string>

namespace ombu {

enum class lock_wait { locked, cycle, failed };

// Takes the lock (shared or exclusive) on fd, the open lock file lock_name.
// When other processes hold it, waits until they let go; but when a process
// that waits, directly or through others, for a lock held upstream of this one
// is among them, the wait would never end: cycle. failed: errno is set (EINTR
// when the process was interrupted). While it waits, the process gives its implicit
// job slot back to the job server and takes it back before it returns.
lock_wait acquire_lock(int fd, const std::string& lock_name, bool exclusive,
                       const char* program_name);

// The ERROR line "<target>: Dependency cycle detected." for a target whose
// lock is already held upstream.
void report_cycle(const char* program_name, const std::string& target);

}  // namespace ombu
