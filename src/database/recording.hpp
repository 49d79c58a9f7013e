// Recording of a target's prerequisites into its pending prerequisites file
// (pending_fd): by the commands that its running script starts, into the file
// they were handed, and by the script search, into the job's own file.
#pragma once

#include <vector>

namespace ombu {

// Appends one record per name, with its present fingerprint, in one write,
// under the pending file's write lock, keeping the file's time (the launch of
// its script). A source file whose time is not earlier than that is recorded
// with the all-zero hash: it may have changed after the script used it. Once
// the job has ended (database/job_seal.hpp) nothing is written: a warning,
// and success. pending_fd -1: not called within a script; an error.
bool record_prerequisites(const char* program_name, int pending_fd,
                          const std::vector<const char*>& names);

// Refuses names that exist; otherwise records them all (normally as absent).
bool record_absent_prerequisites(const char* program_name, int pending_fd,
                                 const std::vector<const char*>& names);

// Why a name cannot be stored in a record and read back as itself, or null
// when it can.
const char* unrecordable_reason(const char* name);

}  // namespace ombu
