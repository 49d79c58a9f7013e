// One target being rebuilt: its names, its running script and its lock.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

#include "base/file_identity.hpp"
#include "base/process.hpp"
#include "jobserver/job_slot.hpp"
#include "locking/held_locks.hpp"
#include "locking/target_lock.hpp"
#include "runner/file_state.hpp"

namespace ombu {

class Job {
public:
    explicit Job(const char* name);
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    pid_t pid = -1;                  // the running script; -1 when none
    const char* name;                // the caller's name; outlives the job
    std::string script;              // the .do script found by the launch
    std::string target;              // copy of name
    std::string output_name;         // target + output_suffix
    std::string prerequisites_name;  // the names of database/layout.hpp
    std::string pending_name;
    std::string lock_name;
    target_lock lock;         // the exclusive lock, held while the script runs
    job_slot slot;            // the slot its running script uses
    bool lock_known = false;  // lock_id is set: the launch opened the lock file
    file_identity lock_id;
    file_state target_before;  // the target as the launch found it
    // The moment the script was launched, L: the modification time of the
    // pending file just before the fork, which every recorder keeps and the
    // commit gives back. Unknown (UTIME_OMIT) until then.
    struct timespec launched_at = {0, UTIME_OMIT};
    // The prerequisites file seen when the target was judged out of date, for
    // jobs made by a judgement (not by ombu's "rebuild whatever its state"):
    // once the job holds its lock, another file there means another job has
    // committed the target since, and this one has nothing left to do.
    bool judged = false;
    std::optional<file_identity> judged_prerequisites;
};

}  // namespace ombu
