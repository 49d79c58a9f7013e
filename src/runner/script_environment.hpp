// The environment that a build gives to the script of a job.
#pragma once

#include <string>
#include <vector>

#include "locking/held_locks.hpp"

namespace ombu {

// "OMBUFLAGS=" and the options that the builds started by the script inherit:
// the flags that are set, the job's pending prerequisites file and the job
// server.
std::string ombuflags_entry(int pending_fd);

// The inherited entries, less any OMBUFLAGS and OMBULOCKS entries, then the
// locks held upstream of the script (its own target's included), then the new
// OMBUFLAGS entry, last. Scripts thus see exactly one entry of each.
std::vector<std::string> script_environment(const char* const* inherited,
                                            const file_identity& job_lock,
                                            const std::string& job_lock_name, int pending_fd);

}  // namespace ombu
