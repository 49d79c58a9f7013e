#include "scheduler/settling.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include "database/layout.hpp"
#include "scheduler/commit.hpp"

namespace ombu {

namespace {

// The file system's present time, read by stamping the lock file (held, and
// otherwise unused) with it; nothing when that fails.
std::optional<struct timespec> file_system_now(int lock_fd) {
    const struct timespec now[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    struct stat status;
    if (futimens(lock_fd, now) != 0 || fstat(lock_fd, &status) != 0) return std::nullopt;
    return status.st_mtim;
}

}  // namespace

bool needs_contents(const prerequisite_record& record, const prerequisites_reading& reading) {
    return record.print.type == regular_file && record.print.timestamp >= reading.written_at &&
           !committed_here(record.name);
}

settling begin_settling(const prerequisites_reading& reading) {
    settling settle;
    for (const auto& record : reading.records) {
        if (!needs_contents(record, reading)) continue;
        settle.since = file_system_now(reading.lock.fd());
        settle.possible = settle.since.has_value();
        break;
    }
    return settle;
}

void settle_record(settling& settle, const prerequisite_record& record,
                   const prerequisites_reading& reading, const fingerprint& present, bool fresh,
                   bool unchanged) {
    if (!settle.possible || !needs_contents(record, reading)) return;
    settle.possible = fresh && unchanged && present.timestamp < settle.since->tv_sec;
}

void finish_settling(const char* target, const settling& settle) {
    if (!settle.possible) return;
    const struct timespec times[2] = {{0, UTIME_OMIT}, *settle.since};
    utimensat(AT_FDCWD, database_path(target, prerequisites_suffix).c_str(), times, 0);
}

}  // namespace ombu
