// What a script's failure or success tells about common mistakes in writing
// it, and the hint that then follows the build's own line.
#pragma once

#include "runner/job.hpp"

namespace ombu {

// After a script that could not be started (its child ended with 255): a
// script without its execute bit, or without an interpreter line.
void hint_unstartable_script(const char* program_name, const Job& job);

// After a script that succeeded without writing its output file: one that
// wrote the target itself (say, cc -o with the target's name) rather than
// "$3". Called before the empty output replaces the target.
void hint_target_written_directly(const char* program_name, const Job& job);

}  // namespace ombu
