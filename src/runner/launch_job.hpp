#pragma once

#include <vector>

#include "database/held_locks.hpp"
#include "scheduler/job.hpp"

namespace ombu {

enum class launch_result {
    launched,   // script found and a child asked for; job.pid is -1 when fork failed
    failed,     // reported; job.pid is -1
    duplicate,  // job's lock file is one of launched_locks: same target, other spelling; nothing done
};

// Starts the job's script under the target's exclusive lock, without waiting.
// launched_locks: the lock files of the jobs this call has already launched.
launch_result launch_job(Job& job, const char* program_name,
                         const std::vector<lock_identity>& launched_locks);

}  // namespace ombu
