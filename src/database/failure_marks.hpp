// Targets whose scripts failed during the current build. A build and every
// build its scripts start share one build name (the environment variable
// OMBUBUILD, set by the outermost); a failed job leaves a mark holding it,
// ".ombu/<target>.failed", and a target marked by the current build is not
// run again in it, by any of its processes: judged along every path to it, a
// failing target would otherwise run once a path, and the paths multiply.
//
// The name counts only while the build that made it runs: a process takes it
// over only when it joined the watch of a running outermost build (see
// base/build_watch.hpp), so a process that a script left running (a watcher,
// a server, a shell) starts builds of its own later, not more of the ended one.
#pragma once

#include <string>

namespace ombu {

inline constexpr const char* build_name_variable = "OMBUBUILD";

// Joins the build named in the environment when this process joined its
// running outermost build's watch (watch_build first); otherwise makes a new
// name (process id and time) and exports it for the scripts. Called once at
// start-up.
void join_build();

void mark_failed(const std::string& target);
void clear_failure_mark(const std::string& target);
bool failed_in_this_build(const std::string& target);

// failed_in_this_build, with an ERROR line for the target when it did:
// "<target>: Failed earlier in this build.".
bool skip_failed_target(const char* program_name, const std::string& target);

}  // namespace ombu
