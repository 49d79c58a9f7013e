#include "scheduler/needs_rebuild.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "base/diagnostics.hpp"
#include "base/input_file.hpp"
#include "base/paths.hpp"
#include "base/process.hpp"
#include "base/settings.hpp"
#include "database/held_locks.hpp"
#include "database/layout.hpp"
#include "database/lock_wait.hpp"
#include "database/record.hpp"
#include "fingerprint/fingerprint.hpp"
#include "scheduler/build_targets.hpp"
#include "scheduler/commit.hpp"

namespace ombu {

namespace {

struct prerequisite_record {
    fingerprint print;
    std::string name;
};

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

// One reading of a target's prerequisites file, under the shared lock of its
// lock file. The file is closed before the lock, by the destructor at the latest.
struct prerequisites_reading {
    int lock_fd = -1;
    file_identity lock_id;
    input_file file;  // close-on-exec: scripts started meanwhile must not inherit it
    // The second in which the records were last written. A recorded time from
    // that second or later does not prove the contents unchanged: the file
    // may have been written again within the same second after it was recorded.
    std::int64_t written_at = 0;

    prerequisites_reading() = default;
    prerequisites_reading(const prerequisites_reading&) = delete;
    prerequisites_reading& operator=(const prerequisites_reading&) = delete;
    ~prerequisites_reading() { close(); }

    void close() {
        if (file.is_open()) file.close();
        replace_fd(lock_fd, -1);
    }
};

// Opens the lock file (shared lock) and the prerequisites file; nothing when
// both are open, else the decision that the failure forces.
std::optional<rebuild_decision> open_prerequisites(const char* program_name, const char* target,
                                                   prerequisites_reading& reading) {
    const int fd = open_lock_file(AT_FDCWD, database_path(target, lock_suffix).c_str());
    if (fd < 0) return rebuild_decision::rebuild;
    reading.lock_fd = fd;
    if (!identity_of(fd, reading.lock_id)) return rebuild_decision::rebuild;
    // Held by this process's own judging or by an ancestor build: the shared
    // lock would recurse without end or wait for ever.
    if (held_upstream(reading.lock_id)) {
        report_cycle(program_name, target);
        return rebuild_decision::cycle;
    }
    switch (acquire_lock(fd, database_path(target, lock_suffix), false, program_name)) {
        case lock_wait::locked:
            break;
        case lock_wait::cycle:
            // The lock's holders wait for a lock held upstream of this process.
            report_cycle(program_name, target);
            return rebuild_decision::cycle;
        case lock_wait::failed:
            return rebuild_decision::rebuild;
    }
    // The time is the opened file's own: the records and the second they were
    // written in come from one file.
    if (!reading.file.open(database_path(target, prerequisites_suffix))) {
        return rebuild_decision::rebuild;
    }
    reading.written_at = reading.file.status().st_mtime;
    return std::nullopt;
}

// All records of the file, each read into a fresh fingerprint so that nothing
// of one record leaks into the next. False when a record is malformed.
bool read_records(std::istream& in, std::vector<prerequisite_record>& records) {
    while (in.good() && in.peek() != EOF) {
        prerequisite_record record;
        read_record(in, record.print, record.name);
        if (in.fail()) return false;
        records.push_back(std::move(record));
    }
    return !in.bad();
}

// One reading: nothing when the records were read (the file and the lock stay
// open in reading), else the decision that the failure forces. A file that
// cannot be opened or read, a malformed one included, makes the target out of
// date without a word.
std::optional<rebuild_decision> read_prerequisites(const char* program_name, const char* target,
                                                   prerequisites_reading& reading,
                                                   std::vector<prerequisite_record>& records) {
    if (auto forced = open_prerequisites(program_name, target, reading)) return forced;
    if (!read_records(reading.file, records)) return rebuild_decision::rebuild;
    return std::nullopt;
}

enum class difference { none, vanished, changed_type, changed_timestamp, changed_hash };

// trust_time: an equal modification time means unchanged contents.
difference compare(const fingerprint& recorded, const fingerprint& present, bool trust_time) {
    if (recorded.type != present.type) {
        return present.type == absent ? difference::vanished : difference::changed_type;
    }
    if (recorded.type == absent) return difference::none;
    if (recorded.timestamp == present.timestamp && (trust_time || recorded.type != regular_file)) {
        return difference::none;
    }
    if (recorded.type != regular_file) return difference::changed_timestamp;
    return recorded.hash == present.hash ? difference::none : difference::changed_hash;
}

std::string local_time(std::int64_t timestamp) {
    const auto seconds = static_cast<std::time_t>(timestamp);
    struct tm parts;
    char text[64];
    if (localtime_r(&seconds, &parts) == nullptr ||
        std::strftime(text, sizeof text, "%F %T %z", &parts) == 0) {
        return std::to_string(timestamp);
    }
    return text;
}

void report_missing_target(const char* program_name, const char* target) {
    if (!verbose_flag) return;
    diagnostic_prefix(program_name, log_level::info)
        << target << " needs rebuilding because it does not exist.\n";
}

void report_difference(const char* program_name, const char* target,
                       const prerequisite_record& record, const fingerprint& present,
                       difference found) {
    std::ostream& out = diagnostic_prefix(program_name, log_level::info);
    out << target << " needs rebuilding because " << record.name;
    switch (found) {
        case difference::vanished:
            out << " does not exist.\n";
            break;
        case difference::changed_type:
            out << " has changed type.\n";
            break;
        case difference::changed_timestamp:
            out << " has changed timestamp from " << local_time(record.print.timestamp) << " to "
                << local_time(present.timestamp) << ".\n";
            break;
        case difference::changed_hash:
            out << " has changed hash value from ";
            write_hash(out, record.print.hash);
            out << " to ";
            write_hash(out, present.hash);
            out << ".\n";
            break;
        case difference::none:
            break;
    }
}

// The file system's present time, read by stamping the lock file (held, and
// otherwise unused) with it; nothing when that fails.
std::optional<struct timespec> file_system_now(int lock_fd) {
    const struct timespec now[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    struct stat status;
    if (futimens(lock_fd, now) != 0 || fstat(lock_fd, &status) != 0) return std::nullopt;
    return status.st_mtim;
}

// Records whose time is not earlier than the second in which they were
// written are judged by their contents. Once such a record has been confirmed
// by a hash taken after a moment whose second is later than its time, every
// later change of the file gives it a later time, so the records may count as
// written in that moment: the prerequisites file's time is moved there, and
// later judgements trust the time again. The moment is taken before the hashes
// and the file is touched only when every record matched; a crash in between
// leaves the records unsettled, as before.
struct settling {
    std::optional<struct timespec> since;  // the moment, when there is anything to settle
    bool possible = false;
};

bool needs_contents(const prerequisite_record& record, const prerequisites_reading& reading) {
    return record.print.type == regular_file && record.print.timestamp >= reading.written_at &&
           !committed_here(record.name);
}

settling begin_settling(const prerequisites_reading& reading,
                        const std::vector<prerequisite_record>& records) {
    settling settle;
    for (const auto& record : records) {
        if (!needs_contents(record, reading)) continue;
        settle.since = file_system_now(reading.lock_fd);
        settle.possible = settle.since.has_value();
        break;
    }
    return settle;
}

void finish_settling(const char* target, const settling& settle) {
    if (!settle.possible) return;
    const struct timespec times[2] = {{0, UTIME_OMIT}, *settle.since};
    utimensat(AT_FDCWD, database_path(target, prerequisites_suffix).c_str(), times, 0);
}

// Compares every recorded fingerprint with the present one, up to the first
// difference (every one with the keep-going flag).
bool prerequisites_current(const char* program_name, const char* target,
                           const prerequisites_reading& reading,
                           const std::vector<prerequisite_record>& records) {
    bool current = true;
    settling settle = begin_settling(reading, records);
    for (const prerequisite_record& record : records) {
        // Only a regular file's record has a hash to lend; any other, lent to a
        // name that is a regular file now, would give it a zero hash. A target
        // rebuilt here, or a file recorded in the second its records were
        // written, is hashed afresh: its time may be the recorded one although
        // its contents changed.
        const bool trust_time =
            record.print.timestamp < reading.written_at && !committed_here(record.name);
        const fingerprint* previous =
            record.print.type == regular_file && trust_time ? &record.print : nullptr;
        // Only a hash taken now, after the settling moment, can settle a record.
        const bool fresh = !process_fingerprints().holds_taken(record.name);
        const fingerprint& present = process_fingerprints().lookup(record.name, previous);
        const difference found = compare(record.print, present, trust_time);
        if (settle.possible && needs_contents(record, reading)) {
            settle.possible =
                fresh && found == difference::none && present.timestamp < settle.since->tv_sec;
        }
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

}  // namespace

rebuild_decision needs_rebuild(bool always, const char* program_name, const char* name) {
    if (is_directory_reference(name)) return rebuild_decision::up_to_date;
    if (is_source_file(name)) return rebuild_decision::up_to_date;
    if (always) return rebuild_decision::rebuild;
    if (!exists(name)) {
        report_missing_target(program_name, name);
        return rebuild_decision::rebuild;
    }

    // First reading: the recorded prerequisites that are targets are brought
    // up to date while the shared lock is held.
    prerequisites_reading reading;
    std::vector<prerequisite_record> records;
    if (auto forced = read_prerequisites(program_name, name, reading, records)) return *forced;
    std::vector<const char*> targets;
    bool input_vanished = false;
    for (const prerequisite_record& record : records) {
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
        const bool current = prerequisites_current(program_name, name, reading, records);
        return decide(input_vanished || !current);
    }

    push_judged_lock(reading.lock_id, database_path(name, lock_suffix));
    const bool built = build_targets(false, program_name, targets);
    pop_judged_lock();
    reading.close();
    if (!built) return rebuild_decision::rebuild;

    // A nested build may have removed the target, or another process may have
    // rebuilt it and replaced its prerequisites file: read it afresh.
    if (!exists(name)) {
        report_missing_target(program_name, name);
        return rebuild_decision::rebuild;
    }
    prerequisites_reading second;
    std::vector<prerequisite_record> current_records;
    if (auto forced = read_prerequisites(program_name, name, second, current_records)) {
        return *forced;
    }
    const bool current = prerequisites_current(program_name, name, second, current_records);
    return decide(input_vanished || !current);
}

}  // namespace ombu
