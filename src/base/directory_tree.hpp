// Making and removing directories with what lies below or above them.
#pragma once

#include <string>

namespace ombu {

// Makes path and its missing ancestors, parents first; reports nothing.
void make_directories(const std::string& path);

// Removes a file, or a directory with everything below it, never following
// symbolic links. Refuses "/" and names ending in "", "." or "..": -1, EINVAL.
int remove_tree(const std::string& path);

// True when path names a directory itself (not a link to one).
bool is_directory(const std::string& path);

}  // namespace ombu
