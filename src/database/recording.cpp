#include "database/recording.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>

#include "base/diagnostics.hpp"
#include "base/settings.hpp"
#include "database/record.hpp"
#include "fingerprint/fingerprint.hpp"

namespace ombu {

namespace {

void report_system_error(const char* program_name, int error) {
    diagnostic_prefix(program_name, "ERROR") << std::strerror(error) << '\n';
}

// Hands the records of one call to the system in a single write, so that they
// stand together in a file that other processes append to at the same time.
bool write_records(const char* program_name, const std::string& records) {
    ssize_t written;
    do {
        written = write(ombuparent_fd, records.data(), records.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        report_system_error(program_name, errno);
        return false;
    }
    if (static_cast<std::size_t>(written) != records.size()) {
        diagnostic_prefix(program_name, "ERROR") << "Records only partly written.\n";
        return false;
    }
    return true;
}

// The records of regular files from the previous successful build of the
// running script's target, and the second in which they were written.
struct parent_records {
    std::map<std::string, fingerprint> settled;
    std::int64_t written_at = 0;
};

// A record lends its hash only where it still proves the contents: the time
// recorded is earlier than the second in which the records were written (a
// later write in that second would not change the time), and the file's status
// has not changed since that second either (a target rebuilt since, by this
// process or by the build that runs the script, has a new change time even
// when its script set an old modification time). The script's pending file is
// the target's prerequisites file with ".build" added; the old one stays in
// place, under the builder's exclusive lock, until the script has ended.
parent_records settled_parent_records() {
    parent_records records;
    auto& settled = records.settled;
    char path[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(ombuparent_fd);
    const ssize_t length = readlink(link.c_str(), path, sizeof path - 1);
    const std::string_view build = ".prereqs.build";
    if (length <= static_cast<ssize_t>(build.size())) return records;
    std::string old(path, static_cast<std::size_t>(length));
    if (old.compare(old.size() - build.size(), build.size(), build) != 0) return records;
    old.resize(old.size() - std::strlen(".build"));
    std::ifstream in(old, std::ios::binary);
    struct stat status;
    if (!in.is_open() || stat(old.c_str(), &status) != 0) return records;
    records.written_at = status.st_mtime;
    std::set<std::string> disputed;
    while (in.good() && in.peek() != EOF) {
        fingerprint print;
        std::string name;
        read_record(in, print, name);
        if (in.fail()) break;
        if (print.type != regular_file || print.timestamp >= status.st_mtime) continue;
        const auto [found, inserted] = settled.emplace(name, print);
        if (!inserted && (found->second.timestamp != print.timestamp || found->second.hash != print.hash)) {
            disputed.insert(name);
        }
    }
    for (const auto& name : disputed) settled.erase(name);
    return records;
}

// The fingerprint of name for the records: the cached one, or one made with
// the parent's record of name lent as previous (read on the first need).
const fingerprint& recorded_fingerprint(const std::string& name) {
    static bool loaded = false;
    static parent_records parent;
    fingerprint_cache& cache = process_fingerprints();
    if (cache.contains(name) || cache.forgotten(name)) return cache.lookup(name);
    if (!loaded) {
        parent = settled_parent_records();
        loaded = true;
    }
    const auto found = parent.settled.find(name);
    if (found == parent.settled.end()) return cache.lookup(name);
    return cache.lookup(name, &found->second, parent.written_at);
}

}  // namespace

bool record_prerequisites(const char* program_name, const std::vector<const char*>& names,
                          bool reuse_parent_records) {
    if (ombuparent_fd == -1) {
        diagnostic_prefix(program_name, "ERROR") << "Not invoked within a .do script.\n";
        return false;
    }
    if (debug_flag) {
        auto& line = diagnostic_prefix(program_name, "INFO") << "RECORD-PREREQUISITES: >";
        for (const char* name : names) line << ' ' << name;
        line << "<\n" << std::flush;
    }
    std::ostringstream records;
    for (const char* name : names) {
        write_record(records, name,
                     reuse_parent_records ? recorded_fingerprint(name)
                                          : process_fingerprints().lookup(name));
        if (!records) {
            report_system_error(program_name, errno);
            return false;
        }
    }
    return write_records(program_name, records.str());
}

bool record_absent_prerequisites(const char* program_name, const std::vector<const char*>& names) {
    bool any_exists = false;
    for (const char* name : names) {
        if (access(name, F_OK) == 0) {
            diagnostic_prefix(program_name, "ERROR") << name << ": File/directory exists.\n";
            any_exists = true;
        }
    }
    if (any_exists) return false;
    // Names that do not exist have no hash to reuse.
    return record_prerequisites(program_name, names, false);
}

const char* unrecordable_reason(const char* name) {
    if (*name == '\0') return "Empty name cannot be recorded.";
    // The white-space characters that the record reader skips before a name.
    if (std::strchr(" \t\n\v\f\r", *name) != nullptr) {
        return "Name beginning with white space cannot be recorded.";
    }
    if (std::strchr(name, '\n') != nullptr) return "Name containing a line feed cannot be recorded.";
    return nullptr;
}

}  // namespace ombu
