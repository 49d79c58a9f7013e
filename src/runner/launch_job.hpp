#pragma once

#include <vector>

#include "locking/held_locks.hpp"
#include "runner/job.hpp"

namespace ombu {

enum class launch_result {
    launched,   // script found and a child asked for; job.pid is -1 when fork failed
    failed,     // reported; job.pid is -1
    duplicate,  // job's lock file is one of launched_locks: same target, other spelling; nothing
                // done
    busy,       // another process holds the target's lock and waiting was not allowed; nothing done
    done,       // once locked, the target turned out committed since its judgement; nothing done
};

// Starts the job's script under the target's exclusive lock, without waiting.
// launched_locks: the lock files of the jobs this call has already launched.
// may_wait: whether to wait while another process holds the target's lock. A
// process whose own scripts are running must not: it could not reap them, so
// their locks, which the holder may be waiting for, would never be released.
launch_result launch_job(Job& job, const char* program_name,
                         const std::vector<file_identity>& launched_locks, bool may_wait = true);

}  // namespace ombu
