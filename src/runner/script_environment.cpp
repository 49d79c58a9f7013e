#include "runner/script_environment.hpp"

#include <cstring>

#include "base/settings.hpp"
#include "jobserver/jobserver.hpp"

namespace ombu {

namespace {

bool names_variable(const char* entry, const char* variable) {
    const auto length = std::strlen(variable);
    return std::strncmp(entry, variable, length) == 0 && entry[length] == '=';
}

}  // namespace

std::string ombuflags_entry(int pending_fd) {
    std::string entry = "OMBUFLAGS=";
    if (keep_going_flag) entry += " --keep-going";
    if (debug_flag) entry += " --debug";
    if (silent_flag) entry += " --silent";
    if (verbose_flag) entry += " --verbose";
    // Appended piece by piece: g++ 12 at -O3 warns falsely on "text" + string.
    entry += " --ombuparent-fd=";
    entry += std::to_string(pending_fd);
    if (jobserver_fds[0] != -1) {
        entry += " --jobserver-fds=";
        entry += std::to_string(jobserver_fds[0]);
        if (jobserver_fds[1] != -1) {
            entry += ',';
            entry += std::to_string(jobserver_fds[1]);
        }
    }
    return entry;
}

std::vector<std::string> script_environment(const char* const* inherited,
                                            const file_identity& job_lock,
                                            const std::string& job_lock_name, int pending_fd) {
    std::vector<std::string> entries;
    for (auto entry = inherited; *entry != nullptr; ++entry) {
        if (names_variable(*entry, "OMBUFLAGS") || names_variable(*entry, held_locks_variable)) {
            continue;
        }
        entries.emplace_back(*entry);
    }
    entries.push_back(held_locks_entry(job_lock, job_lock_name));
    entries.push_back(ombuflags_entry(pending_fd));
    return entries;
}

}  // namespace ombu
