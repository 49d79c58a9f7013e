#pragma once

namespace ombu {

enum class rebuild_decision {
    up_to_date,  // nothing to do (also for source files and directory names)
    rebuild,     // make a job
    cycle,       // the name needs itself; reported, and the build fails
};

// Judges one name, bringing its recorded prerequisites up to date first.
rebuild_decision needs_rebuild(bool always, const char* program_name, const char* name);

}  // namespace ombu
