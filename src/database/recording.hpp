// Recording, from the commands that a running script starts, of the script's
// target's prerequisites into its pending prerequisites file (ombuparent_fd).
#pragma once

#include <vector>

namespace ombu {

// Appends one record per name, with its present fingerprint, in one write.
bool record_prerequisites(const char* program_name, const std::vector<const char*>& names);

// Refuses names that exist; otherwise records them all (normally as absent).
bool record_absent_prerequisites(const char* program_name, const std::vector<const char*>& names);

// Why a name cannot be stored in a record and read back as itself, or null
// when it can.
const char* unrecordable_reason(const char* name);

}  // namespace ombu
