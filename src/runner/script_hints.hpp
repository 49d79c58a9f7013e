// What a script's failure or success tells about common mistakes in writing
// it, and the hint that then follows the build's own line.
#pragma once

#include <string>

#include "runner/job.hpp"

namespace ombu {

// After a script that could not be started (its child ended with 255): a
// script without its execute bit, or without an interpreter line.
void hint_unstartable_script(const char* program_name, const Job& job);

// After a script that succeeded without writing its output file: one that
// wrote the target itself (say, cc -o with the target's name) rather than
// "$3", told by a target that is not as the launch found it. Called before
// the empty output replaces the target.
void hint_target_written_directly(const char* program_name, const Job& job);

// After "Cannot find .do file to use.": a name that a build in a directory
// above makes (the run is in the wrong directory), or a name that nothing
// makes and that does not exist either (misspelt).
void hint_no_script(const char* program_name, const std::string& name);

// For a name given to ombu that counts as a source file, which ombu leaves
// alone without a word: when a script here, or a build in a directory above,
// would make it, says so and what to do.
void hint_source_with_script(const char* program_name, const std::string& name);

}  // namespace ombu
