// Process-wide settings of the build commands. The front end sets them from
// the options before it dispatches; everything else only reads them.
#pragma once

namespace ombu {

extern bool debug_flag;       // --debug, -d: job-slot, locking, recording and scheduling traces
extern bool verbose_flag;     // --verbose, --print, -p: out-of-date reasons and script starts
extern bool silent_flag;      // --silent, --quiet, -s: no ": Ombune." lines
extern bool keep_going_flag;  // --keep-going, -k: compare every prerequisite, not just up to the
                              // first change

// Descriptor of the pending prerequisites file of the target whose script
// started this process; -1 when there is none.
extern int ombuparent_fd;

}  // namespace ombu
