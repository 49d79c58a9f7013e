// Why a target needs rebuilding: what differs between a recorded fingerprint
// and the present one, and the texts of the verbose flag that say so.
#pragma once

#include "database/record.hpp"
#include "fingerprint/fingerprint.hpp"

namespace ombu {

enum class difference {
    none,
    vanished,
    changed_type,
    changed_timestamp,
    changed_hash,
    same_second
};

// trust_time: an equal modification time means unchanged contents. Without
// it a regular file's hash decides, and a directory or special file (no hash)
// with an equal time counts as changed: same_second.
difference compare(const fingerprint& recorded, const fingerprint& present, bool trust_time);

// "<target> needs rebuilding because it does not exist.", with the verbose flag.
void report_missing_target(const char* program_name, const char* target);

// "<target> needs rebuilding because <name> ..." for a difference found.
void report_difference(const char* program_name, const char* target,
                       const prerequisite_record& record, const fingerprint& present,
                       difference found);

}  // namespace ombu
