#include "locking/target_lock.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "base/file_identity.hpp"
#include "base/process.hpp"
#include "locking/lock_wait.hpp"

namespace ombu {

namespace {

// The descriptor goes, errno stays: the caller reports the failure that
// came before.
lock_status give_up(owned_fd& file, lock_status status) {
    const int error = errno;
    file.reset();
    errno = error;
    return status;
}

}  // namespace

lock_status take_target_lock(const char* program_name, const lock_request& request,
                             target_lock& lock) {
    lock = target_lock();
    owned_fd file(open_lock_file(AT_FDCWD, request.lock_name.c_str()));
    if (!file.held()) return lock_status::not_opened;
    if (!identity_of(file.get(), lock.identity_)) return give_up(file, lock_status::not_opened);
    lock.identified_ = true;
    // An ancestor build, or this process's own judging, holds the lock: the
    // target depends on itself, and the lock would wait for ever.
    if (held_upstream(lock.identity_)) {
        report_cycle(program_name, request.target);
        return lock_status::cycle;
    }
    if (request.own_locks != nullptr &&
        std::find(request.own_locks->begin(), request.own_locks->end(), lock.identity_) !=
            request.own_locks->end()) {
        return lock_status::duplicate;
    }
    lock_wait taken = lock_wait::locked;
    if (request.may_wait) {
        taken = acquire_lock(file.get(), request.lock_name, request.exclusive, program_name);
    } else {
        const int tried = try_lock_whole_file(file.get(), request.exclusive);
        if (tried == 0) return lock_status::busy;
        if (tried < 0) taken = lock_wait::failed;
    }
    switch (taken) {
        case lock_wait::locked:
            break;
        case lock_wait::cycle:
            // Its holders wait for a lock held upstream of this process.
            report_cycle(program_name, request.target);
            return lock_status::cycle;
        case lock_wait::failed:
            return give_up(file, lock_status::failed);
    }
    lock.file_ = std::move(file);
    lock.locked_ = true;
    return lock_status::locked;
}

}  // namespace ombu
