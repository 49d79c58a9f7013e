// The end of a job, as its pending prerequisites file shows it to the
// commands of its script and to whatever they leave running.
//
// A pending file takes records only while its job runs. When the job ends
// (committed, failed, or its script search failed) the file is sealed: its
// write permission bits are cleared under the write lock that every recorder
// takes too (base/write_lock.hpp); an abandoned job's file is unlinked, and so
// is one that a later launch of the target replaces. A process that a script
// left running (a watcher, a server) and that records later finds the seal
// or the missing link, and the records of a finished job never change.
#pragma once

#include <sys/stat.h>
#include <time.h>

namespace ombu {

// True when the job whose pending file pending_fd is open on has ended: the
// file is unlinked or sealed. False when the descriptor cannot be fstat'ed
// (-1 included): nothing shows an ended job, and a write to it fails with
// the system's own error.
bool parent_job_ended(int pending_fd);

// The same, from a status of the pending file just taken.
bool job_ended(const struct stat& pending_status);

// For a new pending file: sets its owner's write bit, which a umask may have
// cleared, so that its records can go in. False with errno on failure.
bool open_to_records(int pending_fd);

// Seals the pending file open on pending_fd (for writing) under the write
// lock: once it returns, no recorder writes to it. With launched_at, the file
// also gets that modification time back, should a recorder have failed to
// restore it. False with errno on failure.
bool seal_pending_file(int pending_fd, const struct timespec* launched_at = nullptr);

}  // namespace ombu
