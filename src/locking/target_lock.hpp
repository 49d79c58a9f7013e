// A target's lock, taken in the one sequence that both the judging (shared)
// and the launch (exclusive) follow: open the lock file, identify it, refuse
// a lock held upstream (a cycle), take the lock, waiting if allowed, and
// report a cycle found while waiting.
#pragma once

#include <string>
#include <vector>

#include "base/file_identity.hpp"
#include "base/owned_fd.hpp"
#include "locking/held_locks.hpp"

namespace ombu {

enum class lock_status {
    locked,      // the lock is held
    not_opened,  // the lock file could not be opened or identified; errno set
    cycle,       // held upstream, or its holders wait for a lock held upstream; reported
    duplicate,   // one of the caller's own locks (another spelling); not taken
    busy,        // held elsewhere and the caller may not wait; not taken
    failed,      // the lock could not be taken; errno set (EINTR when interrupted)
};

struct lock_request {
    const std::string& target;     // named in the cycle report
    const std::string& lock_name;  // the lock file, relative to the current directory
    bool exclusive = false;
    bool may_wait = true;
    // Locks that the caller holds already: asking for one again is a duplicate.
    const std::vector<file_identity>* own_locks = nullptr;
};

// The lock of one target as a value: held from a successful take until the
// value goes or is given another. Move-only. Once the lock file has been
// identified, the identity stays known even when the lock was not taken.
class target_lock {
public:
    bool held() const { return locked_; }
    bool identified() const { return identified_; }
    const file_identity& identity() const { return identity_; }
    // The open lock file while held (for its times: the judging stamps it).
    int fd() const { return file_.get(); }

private:
    friend lock_status take_target_lock(const char* program_name, const lock_request& request,
                                        target_lock& lock);
    owned_fd file_;
    bool locked_ = false;
    bool identified_ = false;
    file_identity identity_;
};

// The sequence above, into lock (which gives up whatever it held before).
// Only a cycle is reported here; every other failure is the caller's to
// report or not.
lock_status take_target_lock(const char* program_name, const lock_request& request,
                             target_lock& lock);

}  // namespace ombu
