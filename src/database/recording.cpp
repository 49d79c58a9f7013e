#include "database/recording.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>

#include "base/diagnostics.hpp"
#include "base/retry_on_interrupt.hpp"
#include "base/settings.hpp"
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
    std::ostringstream records;
    for (const char* name : names) {
        // Always the file as it is now: a hash recorded earlier proves the
        // contents only at the moment it was taken.
        write_record(records, name, process_fingerprints().lookup(name));
        if (!records) {
            report_system_error(program_name, errno);
            return false;
        }
    }
    return write_records(program_name, pending_fd, records.str());
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
