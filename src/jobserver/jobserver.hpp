// Client of the job-server pipe shared with make and with nested builds:
// one token byte per job slot beyond each process's implicit slot.
#pragma once

namespace ombu {

extern int jobserver_fds[2];  // read end, write end; -1 for none

// Reads count (1 or 2) descriptor numbers from text; prints an ERROR line and
// returns false when the list is malformed.
bool parse_fd_list(const char* program_name, const char* text, int* fds, int count);

// Creates a new job-server pipe for a limit of `jobs` parallel jobs and fills
// it with jobs - 1 tokens. A limit of 0 and a failed pipe are FATAL (false).
// When the tokens do not fit even in a grown pipe, a WARNING names the limit
// actually used and the set-up goes on. max_pipe_size > 0 caps the pipe's
// capacity in bytes (it exists for tests of that path).
bool create_jobserver(const char* program_name, unsigned long jobs, long max_pipe_size = 0);

// Joins an inherited job server described by `text`: a descriptor list
// ("R,W" or "N") or, when fifo_allowed, "fifo:PATH". False only for a
// malformed list (ERROR printed). Descriptors that are not open on one pipe
// (or one socket), or a FIFO that cannot be opened, get one WARNING and leave
// jobserver_fds at -1.
bool adopt_jobserver(const char* program_name, const char* text, bool fifo_allowed);

// For the build that created the job server, when it ends: every token must
// be back in the pipe. A shortfall is given a moment to come back (longer
// after an interrupt, while the nested builds stop); then a shortfall or a
// surplus gets a WARNING naming both numbers.
void audit_jobserver(const char* program_name, bool interrupted);

}  // namespace ombu
