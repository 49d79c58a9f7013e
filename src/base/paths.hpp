// Names of files as every process of a build can use them.
#pragma once

#include <string>

namespace ombu {

// name made absolute against the current directory; name itself when it is
// absolute already or the current directory cannot be had.
std::string absolute_path(const std::string& name);

// True for names that denote no file of their own to build or remove: "/"
// itself, or a name whose last component is empty, "." or "..".
bool is_directory_reference(const std::string& name);

}  // namespace ombu
