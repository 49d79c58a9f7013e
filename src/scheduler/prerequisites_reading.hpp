// One reading of a target's prerequisites file, under the shared lock of its
// lock file: the records, and the second in which they were written.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/input_file.hpp"
#include "database/record.hpp"
#include "locking/target_lock.hpp"
#include "scheduler/needs_rebuild.hpp"

namespace ombu {

// The file goes before the lock (members go in reverse order).
struct prerequisites_reading {
    target_lock lock;
    input_file file;  // close-on-exec: scripts started meanwhile must not inherit it
    // The second of the file's modification time: the launch of the script
    // that wrote the records, or a later moment that settling moved it to.
    // A recorded time from that second or later does not prove the contents
    // unchanged: the file may have been written again within the same second
    // after the script used it.
    std::int64_t written_at = 0;
    std::vector<prerequisite_record> records;
};

// Takes the shared lock, forgets the target's cached fingerprint, opens the
// file and reads every record: nothing when that went well (the file and the
// lock stay open in reading), else the decision that the failure forces. A
// file that cannot be opened or read, a malformed one included, makes the
// target out of date without a word; a lock that waiting for would never end
// is a cycle, reported.
std::optional<rebuild_decision> read_prerequisites(const char* program_name, const char* target,
                                                   prerequisites_reading& reading);

}  // namespace ombu
