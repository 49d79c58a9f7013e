// A process that must wait for a lock held by another process lends its job
// slot to the job server meanwhile, so that the scripts of other processes can
// use it, and takes one back before it goes on: the number of scripts running
// at once stays at the limit and never goes above it.
#pragma once

namespace ombu {

// Puts one token into the pipe for the slot this process will not use while it
// waits. False, doing nothing, without a job server.
bool lend_job_slot(const char* program_name);

// Takes a token back for a lent slot, waiting until one is free. False when
// the process was interrupted first (after a short last try): the token is
// then left to the job server.
bool reclaim_job_slot(const char* program_name);

}  // namespace ombu
