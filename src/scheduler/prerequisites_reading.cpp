#include "scheduler/prerequisites_reading.hpp"

#include <string>

#include "database/layout.hpp"
#include "fingerprint/fingerprint.hpp"

namespace ombu {

std::optional<rebuild_decision> read_prerequisites(const char* program_name, const char* target,
                                                   prerequisites_reading& reading) {
    const std::string name = target;
    const std::string lock_name = database_path(target, lock_suffix);
    switch (
        take_target_lock(program_name, {.target = name, .lock_name = lock_name}, reading.lock)) {
        case lock_status::locked:
            break;
        case lock_status::cycle:
            return rebuild_decision::cycle;
        default:
            return rebuild_decision::rebuild;
    }
    // Every comparison with the target after this reading must use a
    // fingerprint taken after it: one cached earlier may be of the target
    // before another build rebuilt it and wrote the records read here.
    process_fingerprints().forget(name);
    // The time is the opened file's own: the records and the second they were
    // written in come from one file.
    if (!reading.file.open(database_path(target, prerequisites_suffix))) {
        return rebuild_decision::rebuild;
    }
    reading.written_at = reading.file.status().st_mtime;
    if (!read_records(reading.file, reading.records)) return rebuild_decision::rebuild;
    return std::nullopt;
}

}  // namespace ombu
