// Targets whose scripts failed during the current build. A build and every
// build its scripts start share one build name (the environment variable
// OMBUBUILD, set by the outermost); a failed job leaves a mark holding it,
// ".ombu/<target>.failed", and a target marked by the current build is not
// run again in it, by any of its processes: judged along every path to it, a
// failing target would otherwise run once a path, and the paths multiply.
#pragma once

#include <string>

namespace ombu {

inline constexpr const char* build_name_variable = "OMBUBUILD";

// Takes the build name from the environment, or makes one (process id and
// time) and exports it for the scripts. Called once at start-up.
void join_build();

void mark_failed(const std::string& target);
void clear_failure_mark(const std::string& target);
bool failed_in_this_build(const std::string& target);

}  // namespace ombu
