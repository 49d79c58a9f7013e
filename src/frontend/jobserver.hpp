// Client of the job-server pipe shared with make and with nested builds:
// one token byte per job slot beyond each process's implicit slot.
#pragma once

namespace ombu {

extern int jobserver_fds[2];     // read end, write end; -1 for none
extern int implicit_job_slots;   // 1 while this process's own slot is free

// Takes a slot without ever waiting; true when one is held.
bool procure_job_slot(const char* program_name);
// Gives a slot back: the implicit one first, else a token to the pipe.
void vacate_job_slot(const char* program_name);

// Reads count (1 or 2) descriptor numbers from text; prints an ERROR line and
// returns false when the list is malformed.
bool parse_fd_list(const char* program_name, const char* text, int* fds, int count);

}  // namespace ombu
