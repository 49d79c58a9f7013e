// Ending a job: its output becomes the target, or is thrown away.
#pragma once

#include <string>

#include "runner/job.hpp"

namespace ombu {

// For a script that exited with status 0.
void commit_job(Job& job, const char* program_name, bool& result);
// For a script that failed, was killed or was stopped.
void fail_job(Job& job, const char* program_name, bool& result);
// For a script that was stopped because the build was interrupted: failed, and
// its pending prerequisites file removed too.
void abandon_job(Job& job, const char* program_name, bool& result);

// True for a target that this process has rebuilt. Its modification time can
// equal the one recorded by an earlier build within the same second although
// its contents changed, so the time alone does not show it unchanged.
bool committed_here(const std::string& target);

}  // namespace ombu
