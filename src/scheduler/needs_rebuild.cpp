#include "scheduler/needs_rebuild.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "base/paths.hpp"
#include "base/settings.hpp"
#include "database/layout.hpp"
#include "fingerprint/fingerprint.hpp"
#include "locking/held_locks.hpp"
#include "scheduler/build_targets.hpp"
#include "scheduler/commit.hpp"
#include "scheduler/prerequisites_reading.hpp"
#include "scheduler/rebuild_reasons.hpp"
#include "scheduler/settling.hpp"

namespace ombu {

namespace {

bool exists(const std::string& name) { return access(name.c_str(), F_OK) == 0; }

// A recorded name that has gone (lstat finds nothing: a dangling symbolic link
// is still there, and a target of its own) and never had database files was a
// source file or a file written by hand. Building it while the target is
// judged, by whatever default script matches, could turn a deleted source into
// a target for good; it is not built, and the target is rebuilt whatever a
// later look at the name finds: its script decides what it needs now.
bool vanished_input(const std::string& name) {
    struct stat status;
    return lstat(name.c_str(), &status) != 0 && !has_database_files(name);
}

// Compares every recorded fingerprint with the present one, up to the first
// difference (every one with the keep-going flag).
bool prerequisites_current(const char* program_name, const char* target,
                           const prerequisites_reading& reading) {
    bool current = true;
    settling settle = begin_settling(reading);
    for (const prerequisite_record& record : reading.records) {
        // Only a regular file's record has a hash to lend; any other, lent to a
        // name that is a regular file now, would give it a zero hash. A target
        // rebuilt here, or a file recorded with a time in the second of its
        // script's launch or later, is hashed afresh: its time may be the
        // recorded one although its contents changed (a directory or special
        // file, which has no hash, then counts as changed).
        const bool trust_time =
            record.print.timestamp < reading.written_at && !committed_here(record.name);
        const fingerprint* previous =
            record.print.type == regular_file && trust_time ? &record.print : nullptr;
        // Only a hash taken now, after the settling moment, can settle a record.
        const bool fresh = !process_fingerprints().holds_taken(record.name);
        const fingerprint& present = process_fingerprints().lookup(record.name, previous);
        const difference found = compare(record.print, present, trust_time);
        settle_record(settle, record, reading, present, fresh, found == difference::none);
        if (found == difference::none) continue;
        current = false;
        if (verbose_flag) report_difference(program_name, target, record, present, found);
        if (!keep_going_flag) break;
    }
    if (current) finish_settling(target, settle);
    return current;
}

rebuild_decision decide(bool rebuild) {
    return rebuild ? rebuild_decision::rebuild : rebuild_decision::up_to_date;
}

// The first reading: the recorded prerequisites that are targets are brought
// up to date while the shared lock is held; the reading (file and lock) ends
// with this call. Nothing when that went well and the records are to be read
// afresh, else the decision.
std::optional<rebuild_decision> bring_prerequisites_up_to_date(const char* program_name,
                                                               const char* name,
                                                               bool& input_vanished) {
    prerequisites_reading reading;
    if (auto forced = read_prerequisites(program_name, name, reading)) return forced;
    std::vector<const char*> targets;
    for (const prerequisite_record& record : reading.records) {
        if (record.print.type == absent || is_source_file(record.name)) continue;
        if (vanished_input(record.name)) {
            input_vanished = true;
            continue;
        }
        targets.push_back(record.name.c_str());
    }
    // Nothing to build: the records just read, still under the lock, serve the
    // comparison too, as a second reading right after the first would read
    // the same file (no commit can replace it while the lock is held).
    if (targets.empty()) {
        if (!exists(name)) {
            report_missing_target(program_name, name);
            return rebuild_decision::rebuild;
        }
        const bool current = prerequisites_current(program_name, name, reading);
        return decide(input_vanished || !current);
    }
    push_judged_lock(reading.lock.identity(), database_path(name, lock_suffix));
    const bool built = build_targets(false, program_name, targets);
    pop_judged_lock();
    if (!built) return rebuild_decision::rebuild;
    return std::nullopt;
}

}  // namespace

rebuild_decision needs_rebuild(bool always, const char* program_name, const char* name) {
    if (is_directory_reference(name)) return rebuild_decision::up_to_date;
    if (is_source_file(name)) return rebuild_decision::up_to_date;
    if (always) return rebuild_decision::rebuild;
    if (!exists(name)) {
        report_missing_target(program_name, name);
        return rebuild_decision::rebuild;
    }
    bool input_vanished = false;
    if (auto decided = bring_prerequisites_up_to_date(program_name, name, input_vanished)) {
        return *decided;
    }

    // A nested build may have removed the target, or another process may have
    // rebuilt it and replaced its prerequisites file: read it afresh.
    if (!exists(name)) {
        report_missing_target(program_name, name);
        return rebuild_decision::rebuild;
    }
    prerequisites_reading second;
    if (auto forced = read_prerequisites(program_name, name, second)) return *forced;
    const bool current = prerequisites_current(program_name, name, second);
    return decide(input_vanished || !current);
}

}  // namespace ombu
