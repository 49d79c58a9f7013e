#include "runner/script_hints.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "base/hint.hpp"
#include "database/layout.hpp"

namespace ombu {

namespace {

// True when the file begins with "#!".
bool has_interpreter_line(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return true;  // nothing to tell
    char start[2] = {0, 0};
    const bool has = read(fd, start, 2) != 2 || (start[0] == '#' && start[1] == '!');
    close(fd);
    return has;
}

// The first script in directory (empty: the current one) that would make a
// target of this base name, in the order of the script search, leaving out
// the catch-all default.do: that one would make any name, misspelt or not.
std::string specific_script(const std::string& directory, const std::string& base) {
    std::string candidate = directory + base + ".do";
    if (access(candidate.c_str(), F_OK) == 0) return candidate;
    for (auto position = base.find('.'); position != std::string::npos;
         position = base.find('.', position + 1)) {
        candidate = directory + "default" + base.substr(position) + ".do";
        if (access(candidate.c_str(), F_OK) == 0) return candidate;
    }
    return {};
}

// A build in a directory above the current one that knows name: it holds
// database files of it, or a script of its own directory would make it.
struct enclosing_build {
    std::string directory;  // "..", "../..", ...
    std::string evidence;   // its script or database file, as seen from here
};

bool find_enclosing_build(const std::string& name, enclosing_build& found) {
    if (name.empty() || name[0] == '/') return false;
    char here[PATH_MAX];
    if (getcwd(here, sizeof here) == nullptr) return false;
    const std::string base = name.substr(name.rfind('/') + 1);
    std::string path = here;
    std::string up;
    std::string seen_from_there = name;
    while (path.size() > 1) {
        const auto slash = path.rfind('/');
        seen_from_there = path.substr(slash + 1) + "/" + seen_from_there;
        path.resize(slash == 0 ? 1 : slash);
        up += up.empty() ? ".." : "/..";
        std::string evidence = specific_script(up + "/", base);
        if (evidence.empty()) {
            const std::string records =
                up + "/" + database_path(seen_from_there, prerequisites_suffix);
            if (access(records.c_str(), F_OK) == 0) evidence = records;
        }
        if (!evidence.empty()) {
            found = {up, evidence};
            return true;
        }
    }
    return false;
}

void hint_enclosing_build(const char* program_name, const std::string& name,
                          const enclosing_build& build) {
    const std::string advice = "The build in " + build.directory + " makes it (" + build.evidence +
                               "): run ombu with -C " + build.directory + " from here, or in " +
                               build.directory + " itself.";
    print_hint(program_name, name, advice.c_str());
}

}  // namespace

void hint_no_script(const char* program_name, const std::string& name) {
    enclosing_build build;
    if (find_enclosing_build(name, build)) {
        hint_enclosing_build(program_name, name, build);
    } else if (access(name.c_str(), F_OK) != 0) {
        print_hint(program_name, name, "No file of this name exists either: is the name misspelt?");
    }
}

void hint_source_with_script(const char* program_name, const std::string& name) {
    const auto slash = name.rfind('/');
    const std::string base = name.substr(slash == std::string::npos ? 0 : slash + 1);
    // The name's own directory, then each one above it up to the current one.
    std::string directory = name.substr(0, name.size() - base.size());
    for (;;) {
        const std::string script = specific_script(directory, base);
        if (!script.empty()) {
            const std::string advice =
                "A file without build records counts as a source, which "
                "ombu leaves alone: remove it to have " +
                script + " make it.";
            print_hint(program_name, name, advice.c_str());
            return;
        }
        if (directory.size() < 2) break;
        const auto up = directory.rfind('/', directory.size() - 2);
        directory = up == std::string::npos ? std::string() : directory.substr(0, up + 1);
    }
    enclosing_build build;
    if (find_enclosing_build(name, build)) hint_enclosing_build(program_name, name, build);
}

void hint_unstartable_script(const char* program_name, const Job& job) {
    struct stat status;
    if (job.script.empty() || stat(job.script.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return;
    }
    if (access(job.script.c_str(), X_OK) != 0) {
        print_hint(program_name, job.script,
                   "Scripts must be executable: chmod +x on it lets ombu start it.");
    } else if (!has_interpreter_line(job.script)) {
        print_hint(program_name, job.script,
                   "A script's first line names its interpreter, as in #!/bin/sh.");
    }
}

void hint_target_written_directly(const char* program_name, const Job& job) {
    // Unchanged since the launch: a target that only gathers others, say.
    const file_state now = state_of(job.target);
    if (!now.exists || !S_ISREG(now.mode) || same_state(now, job.target_before)) return;
    print_hint(program_name, job.target,
               "The script wrote the target itself and no output file, so an empty file "
               "replaces it: a script writes its result into its third argument, \"$3\".");
}

}  // namespace ombu
