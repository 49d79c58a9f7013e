#include "database/recording.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

#include "base/diagnostics.hpp"
#include "base/retry_on_interrupt.hpp"
#include "base/settings.hpp"
#include "base/write_lock.hpp"
#include "database/job_seal.hpp"
#include "database/layout.hpp"
#include "database/record.hpp"
#include "fingerprint/fingerprint.hpp"

namespace ombu {

namespace {

// Hands the records of one call to the system in a single write, so that they
// stand together in a file that other processes append to at the same time.
bool write_records(const char* program_name, int pending_fd, const std::string& records) {
    const ssize_t written =
        retry_on_interrupt([&] { return write(pending_fd, records.data(), records.size()); });
    if (written < 0) {
        report_system_error(program_name, errno);
        return false;
    }
    if (static_cast<std::size_t>(written) != records.size()) {
        diagnostic_prefix(program_name, log_level::error) << "Records only partly written.\n";
        return false;
    }
    return true;
}

bool earlier(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Looked at after its fingerprint was taken: a source file whose time is not
// earlier than the launch of the script may have changed after the script
// used it (declared after a compile that read it), so its contents are not
// vouched for. A time earlier than the launch proves no change since then,
// and the fingerprint, taken after the launch, holds what the script saw.
// A target is exempt: the recording command brought it up to date at the
// declaration, before the script used it.
bool changed_since_launch(const char* name, const struct timespec& launched_at) {
    struct stat status;
    return lstat(name, &status) == 0 && !earlier(status.st_mtim, launched_at) &&
           is_source_file(name);
}

// The records, with the fingerprints taken; launched_at is the moment the
// target's script was launched.
std::string records_of(const std::vector<const char*>& names,
                       const std::vector<fingerprint>& prints, const struct timespec& launched_at) {
    std::ostringstream records;
    for (std::size_t i = 0; i < names.size(); ++i) {
        fingerprint print = prints[i];
        // No file has the all-zero hash: the next judgement finds it changed.
        if (print.type == regular_file && changed_since_launch(names[i], launched_at)) {
            print.hash = digest{};
        }
        write_record(records, names[i], print);
    }
    return records.str();
}

// Under the write lock: nothing once the job has ended (the seal), and the
// pending file keeps the time of its script's launch, which the records'
// judgement takes as the bound of what they can show (a failure to restore
// it, for a command run by another user, leaves the later time: a weaker
// bound, which the commit restores).
bool write_locked_records(const char* program_name, int pending_fd,
                          const std::vector<const char*>& names,
                          const std::vector<fingerprint>& prints) {
    struct stat status;
    if (fstat(pending_fd, &status) != 0) {
        report_system_error(program_name, errno);
        return false;
    }
    if (job_ended(status)) {
        diagnostic_prefix(program_name, log_level::warning)
            << "Not recorded: the job of the script that ran this command has ended.\n";
        return true;
    }
    const struct timespec launched_at = status.st_mtim;
    if (!write_records(program_name, pending_fd, records_of(names, prints, launched_at))) {
        return false;
    }
    const struct timespec times[2] = {{0, UTIME_OMIT}, launched_at};
    futimens(pending_fd, times);
    return true;
}

}  // namespace

bool record_prerequisites(const char* program_name, int pending_fd,
                          const std::vector<const char*>& names) {
    if (pending_fd == -1) {
        diagnostic_prefix(program_name, log_level::error) << "Not invoked within a .do script.\n";
        return false;
    }
    if (debug_flag) {
        auto& line = diagnostic_prefix(program_name, log_level::info) << "RECORD-PREREQUISITES: >";
        for (const char* name : names) line << ' ' << name;
        line << "<\n" << std::flush;
    }
    // Fingerprints are taken before the lock, which a commit waits for.
    std::vector<fingerprint> prints;
    prints.reserve(names.size());
    for (const char* name : names) {
        // Always the file as it is now: a hash recorded earlier proves the
        // contents only at the moment it was taken.
        prints.push_back(process_fingerprints().lookup(name));
    }
    if (!take_write_lock(pending_fd)) {
        report_system_error(program_name, errno);
        return false;
    }
    const bool written = write_locked_records(program_name, pending_fd, names, prints);
    release_write_lock(pending_fd);
    return written;
}

bool record_absent_prerequisites(const char* program_name, int pending_fd,
                                 const std::vector<const char*>& names) {
    bool any_exists = false;
    for (const char* name : names) {
        if (access(name, F_OK) == 0) {
            diagnostic_prefix(program_name, log_level::error)
                << name << ": File/directory exists.\n";
            any_exists = true;
        }
    }
    if (any_exists) return false;
    return record_prerequisites(program_name, pending_fd, names);
}

const char* unrecordable_reason(const char* name) {
    if (*name == '\0') return "Empty name cannot be recorded.";
    // The white-space characters that the record reader skips before a name.
    if (std::strchr(" \t\n\v\f\r", *name) != nullptr) {
        return "Name beginning with white space cannot be recorded.";
    }
    if (std::strchr(name, '\n') != nullptr)
        return "Name containing a line feed cannot be recorded.";
    return nullptr;
}

}  // namespace ombu
