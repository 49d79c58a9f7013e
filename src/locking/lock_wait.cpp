#include "locking/lock_wait.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "base/build_watch.hpp"
#include "base/diagnostics.hpp"
#include "base/interrupt.hpp"
#include "base/paths.hpp"
#include "base/process.hpp"
#include "fingerprint/fingerprint.hpp"
#include "jobserver/job_slot.hpp"
#include "locking/held_locks.hpp"
#include "locking/wait_notes.hpp"

namespace ombu {

namespace {

// True when the holders of wanted wait, directly or through the holders of
// what they wait for, for a lock held upstream of this process.
bool waits_lead_back(const std::string& wanted) {
    std::vector<std::string> frontier{wanted};
    std::vector<file_identity> visited;
    while (!frontier.empty()) {
        const std::string lock = frontier.back();
        frontier.pop_back();
        for (const auto& next : waited_for_under(lock)) {
            struct stat status;
            if (stat(next.c_str(), &status) != 0) continue;
            const file_identity id{status.st_dev, status.st_ino};
            if (held_upstream(id)) return true;
            if (std::find(visited.begin(), visited.end(), id) != visited.end()) continue;
            visited.push_back(id);
            frontier.push_back(next);
        }
    }
    return false;
}

// Waits for the lock; see acquire_lock.
lock_wait wait_for_lock(int fd, const std::string& lock_name, bool exclusive) {
    // Holding nothing, this process cannot be part of a cycle: just wait.
    if (upstream_locks().empty()) {
        if (build_gone()) {
            errno = EINTR;
            return lock_wait::failed;
        }
        return lock_whole_file(fd, exclusive) ? lock_wait::locked : lock_wait::failed;
    }
    // Otherwise wait in short steps, looking each time whether the holders of
    // the lock wait for this process's own upstream locks.
    const std::string wanted = absolute_path(lock_name);
    const wait_notes notes(wanted);
    useconds_t pause = 2000;
    for (;;) {
        if (waits_lead_back(wanted)) return lock_wait::cycle;
        if (interrupt_signal() != 0 || build_gone()) {
            errno = EINTR;
            return lock_wait::failed;
        }
        usleep(pause);
        pause = std::min<useconds_t>(pause * 2, 100000);
        const int taken = try_lock_whole_file(fd, exclusive);
        if (taken != 0) return taken > 0 ? lock_wait::locked : lock_wait::failed;
    }
}

}  // namespace

lock_wait acquire_lock(int fd, const std::string& lock_name, bool exclusive,
                       const char* program_name) {
    const int taken = try_lock_whole_file(fd, exclusive);
    if (taken != 0) return taken > 0 ? lock_wait::locked : lock_wait::failed;
    // No script of this process runs while it waits here (a job loop with
    // running scripts puts off a launch whose lock is taken), so the slot
    // that the process stands in is unused meanwhile.
    const bool given_back = give_back_implicit_slot(program_name);
    lock_wait outcome = wait_for_lock(fd, lock_name, exclusive);
    const int wait_error = errno;
    // What the lock's holder did meanwhile comes before whatever this process
    // looks at next.
    process_fingerprints().clear();
    if (given_back && !take_back_implicit_slot(program_name) && outcome == lock_wait::locked) {
        outcome = lock_wait::failed;  // interrupted while taking the slot back
        errno = EINTR;
    } else {
        errno = wait_error;
    }
    return outcome;
}

void report_cycle(const char* program_name, const std::string& target) {
    diagnostic_prefix(program_name, log_level::error) << target << ": Dependency cycle detected.\n";
}

}  // namespace ombu
