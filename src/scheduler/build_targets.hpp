#pragma once

#include <vector>

namespace ombu {

// Judges every name, rebuilds those out of date (every target when always),
// as many scripts at once as job slots allow. True when all succeeded.
bool build_targets(bool always, const char* program_name, const std::vector<const char*>& names);

}  // namespace ombu
