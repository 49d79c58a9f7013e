// Where a target's database files lie: everything under ".ombu/", formed by
// plain concatenation from the target name exactly as given.
#pragma once

#include <sys/stat.h>

#include <string>

namespace ombu {

inline constexpr const char* database_directory = ".ombu";
inline constexpr const char* database_prefix = ".ombu/";
inline constexpr const char* prerequisites_suffix = ".prereqs";
inline constexpr const char* pending_suffix = ".prereqs.build";
inline constexpr const char* lock_suffix = ".prereqs.lock";
inline constexpr const char* prerequisites_ne_suffix = ".prereqsne";
inline constexpr const char* pending_ne_suffix = ".prereqsne.build";
inline constexpr const char* output_suffix = ".doing";

// ".ombu/" + target + suffix.
std::string database_path(const std::string& target, const char* suffix);

// True when name exists and none of its four database files exists.
bool is_source_file(const std::string& name);

// is_source_file answered, where it safely can, from one listing per database
// directory kept for the process; present tells whether the name exists, and
// status, when given, receives the name's lstat status when it exists.
bool is_source_listed(const std::string& name, bool& present, struct stat* status = nullptr);

// Forgets the listings (for a process that changes its working directory).
void forget_database_listings();

// True when any of the name's four database files exists.
bool has_database_files(const std::string& name);

// For tests: read a database directory once `names` of its names have been
// tested singly (0: at the first), or after the usual number.
void list_database_directories_after(unsigned names);
void list_database_directories_by_default();

// Makes path and its missing ancestors, parents first; reports nothing.
void make_directories(const std::string& path);

// True for names that denote no buildable target: "/" itself, or a name whose
// last component is empty, "." or "..".
bool is_directory_reference(const std::string& name);

}  // namespace ombu
