#include "runner/find_script.hpp"

#include <unistd.h>

#include "base/diagnostics.hpp"
#include "database/recording.hpp"
#include "fingerprint/fingerprint.hpp"
#include "runner/script_hints.hpp"

namespace ombu {

namespace {

// Tries one candidate: stores it as the job's script and, when it does not
// exist, records that it must stay absent. The recording's result does not
// matter to the search.
bool candidate_exists(const char* program_name, int pending_fd, Job& job, std::string candidate) {
    job.script = std::move(candidate);
    if (access(job.script.c_str(), F_OK) == 0) return true;
    record_absent_prerequisites(program_name, pending_fd, {job.script.c_str()});
    return false;
}

// The search directory one level up: everything up to the last "/" before its
// final character, or the current directory (empty) when there is none.
std::string parent_search_directory(const std::string& directory) {
    const auto slash = directory.rfind('/', directory.size() - 2);
    return slash == std::string::npos ? std::string() : directory.substr(0, slash + 1);
}

// Searches one directory: the target's own script, then the default scripts
// from the longest extension down to default.do.
bool search_level(const char* program_name, int pending_fd, Job& job, const std::string& directory,
                  const std::string& base, script_match& match) {
    if (candidate_exists(program_name, pending_fd, job, directory + base + ".do")) {
        match.stem = base;
        match.extension.clear();
        return true;
    }
    auto position = base.find('.');
    if (position == std::string::npos) position = base.size();
    for (;;) {
        match.stem = base.substr(0, position);
        match.extension = base.substr(position);
        if (candidate_exists(program_name, pending_fd, job,
                             directory + "default" + match.extension + ".do")) {
            return true;
        }
        if (match.extension.empty()) return false;
        position = base.find('.', position + 1);
        if (position == std::string::npos) position = base.size();
    }
}

}  // namespace

bool find_script(const char* program_name, Job& job, script_match& match, int pending_fd) {
    const std::string name = job.name;
    const auto slash = name.rfind('/');
    const auto base_start = slash == std::string::npos ? 0 : slash + 1;
    const std::string base = name.substr(base_start);
    match.directory_prefix = name.substr(0, base_start);

    std::string directory = match.directory_prefix;
    while (!search_level(program_name, pending_fd, job, directory, base, match)) {
        // Relative names stop at the current directory, absolute ones at "/".
        if (directory.size() < 2) {
            diagnostic_prefix(program_name, log_level::error)
                << name << ": Cannot find .do file to use.\n";
            hint_no_script(program_name, name);
            return false;
        }
        directory = parent_search_directory(directory);
    }
    // A fingerprint that this process took while judging was taken before
    // the launch; the record must hold the script as it is from the launch on.
    process_fingerprints().forget(job.script);
    record_prerequisites(program_name, pending_fd, {job.script.c_str()});
    return true;
}

}  // namespace ombu
