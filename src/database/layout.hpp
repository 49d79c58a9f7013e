// Where a target's database files lie: everything under ".ombu/", formed by
// plain concatenation from the target name exactly as given.
#pragma once

#include <optional>
#include <string>

#include "base/file_identity.hpp"
#include "base/process.hpp"

namespace ombu {

inline constexpr const char* database_directory = ".ombu";
inline constexpr const char* database_prefix = ".ombu/";
inline constexpr const char* prerequisites_suffix = ".prereqs";
inline constexpr const char* pending_suffix = ".prereqs.build";
inline constexpr const char* lock_suffix = ".prereqs.lock";
inline constexpr const char* prerequisites_ne_suffix = ".prereqsne";
inline constexpr const char* pending_ne_suffix = ".prereqsne.build";
inline constexpr const char* output_suffix = ".doing";
inline constexpr const char* failed_suffix = ".failed";  // a failure mark

// ".ombu/" + target + suffix.
std::string database_path(const std::string& target, const char* suffix);

// True when name exists and none of its four database files exists.
bool is_source_file(const std::string& name);

// True when any of the name's four database files exists.
bool has_database_files(const std::string& name);

// True when a prerequisites file is there now and is another file than the
// one seen when its target was judged: only a commit puts one there (the
// last step of a commit renames the pending file onto it), so the target has
// been rebuilt since. Its mere absence proves nothing: a commit that failed
// half way removes the old file and puts no new one.
bool committed_since(const std::string& prerequisites_name,
                     const std::optional<file_identity>& judged);

// After a failed script search: the pending file goes when the name does not
// exist at that moment, so a name asked for before it was written by hand
// becomes a source once it is there. A name that exists (the output of a
// script that failed, whose script is away for a while) stays a target.
void forget_target_without_script(const std::string& target, const std::string& pending_name);

}  // namespace ombu
