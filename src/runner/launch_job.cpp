#include "runner/launch_job.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>

#include "base/diagnostics.hpp"
#include "base/directory_tree.hpp"
#include "base/hint.hpp"
#include "base/interrupt.hpp"
#include "base/owned_fd.hpp"
#include "base/process.hpp"
#include "base/settings.hpp"
#include "database/failure_marks.hpp"
#include "database/layout.hpp"
#include "database/lock_wait.hpp"
#include "runner/find_script.hpp"
#include "runner/script_environment.hpp"

namespace ombu {

namespace {

// Opens the job's lock file and takes its exclusive lock into job.lock_fd,
// unless the lock is one that waiting for would never end.
launch_result lock_target(Job& job, const char* program_name,
                          const std::vector<file_identity>& launched_locks, bool may_wait) {
    if (debug_flag)
        diagnostic_prefix(program_name, log_level::info) << job.lock_name << ": Locking ...\n";
    owned_fd lock(open_lock_file(AT_FDCWD, job.lock_name.c_str()));
    if (!lock.held()) {
        const int error = errno;
        report_system_error(program_name, job.lock_name, error);
        if (error == ENOENT && access(database_directory, F_OK) != 0) {
            print_hint(program_name, database_directory,
                       "No build database here: ombu makes one; run the build from the "
                       "directory that holds it.");
        }
        return launch_result::failed;
    }
    if (!identity_of(lock.get(), job.lock_id)) {
        report_system_error(program_name, job.lock_name, errno);
        return launch_result::failed;
    }
    job.lock_known = true;
    // An ancestor build, or this process's own judging, holds the lock: the
    // target depends on itself.
    if (held_upstream(job.lock_id)) {
        report_cycle(program_name, job.target);
        return launch_result::failed;
    }
    // Another spelling of a target that this call already launched.
    if (std::find(launched_locks.begin(), launched_locks.end(), job.lock_id) !=
        launched_locks.end()) {
        return launch_result::duplicate;
    }
    lock_wait locked = lock_wait::locked;
    if (may_wait) {
        locked = acquire_lock(lock.get(), job.lock_name, true, program_name);
    } else {
        const int taken = try_lock_whole_file(lock.get(), true);
        if (taken == 0) return launch_result::busy;
        if (taken < 0) locked = lock_wait::failed;
    }
    if (locked != lock_wait::locked) {
        // Its holders wait for a lock held upstream of this process.
        if (locked == lock_wait::cycle) {
            report_cycle(program_name, job.target);
        } else if (interrupt_signal() == 0) {
            report_system_error(program_name, job.lock_name, errno);
        }
        return launch_result::failed;
    }
    // Its script failed in this build while this process waited for the lock.
    if (skip_failed_target(program_name, job.target)) return launch_result::failed;
    if (job.judged && committed_since(job.prerequisites_name, job.judged_prerequisites)) {
        if (debug_flag) {
            diagnostic_prefix(program_name, log_level::info)
                << job.target << ": Rebuilt since judged.\n";
        }
        return launch_result::done;
    }
    job.lock_fd = std::move(lock);
    return launch_result::launched;
}

// A launch that failed lets go of the lock at once: kept until the end of the
// call, it could be what another process waits for while this one waits for
// that process's lock, and neither wait would end.
void release_lock(Job& job) { job.lock_fd.reset(); }

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The child's side of the fork: nothing but the execution and, when that
// fails, one line without prefix and an immediate exit.
[[noreturn]] void exec_script(char* const* argv, char* const* envp) {
    execve(argv[0], argv, envp);
    const std::string line = std::string(argv[0]) + ": " + std::strerror(errno) + "\n";
    (void)!write(STDERR_FILENO, line.data(), line.size());
    _exit(255);
}

}  // namespace

launch_result launch_job(Job& job, const char* program_name,
                         const std::vector<file_identity>& launched_locks, bool may_wait) {
    job.pid = -1;
    const std::string name = job.name;
    const auto slash = name.rfind('/');
    if (slash != std::string::npos) make_directories(database_prefix + name.substr(0, slash));

    const launch_result locked = lock_target(job, program_name, launched_locks, may_wait);
    if (locked != launch_result::launched) return locked;

    // A new pending file for every launch: a script's process left running
    // by an earlier build that was killed still appends to the old one, whose
    // records must never be committed.
    unlink(job.pending_name.c_str());
    const int pending_fd =
        open(job.pending_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0777);
    if (pending_fd < 0) {
        report_system_error(program_name, job.pending_name, errno);
        release_lock(job);
        return launch_result::failed;
    }

    // The search records its candidates into the job's own pending file.
    const int saved_parent_fd = ombuparent_fd;
    ombuparent_fd = pending_fd;
    script_match match;
    const bool found = find_script(program_name, job, match);
    ombuparent_fd = saved_parent_fd;
    if (!found) {
        close_fd(pending_fd);
        forget_target_without_script(job.target, job.pending_name);
        release_lock(job);
        return launch_result::failed;
    }

    // A script path beginning with "-" would be read as options by the
    // script's interpreter: it is started as "./-...", the same file.
    const std::string script_path = job.script[0] == '-' ? "./" + job.script : job.script;
    std::vector<std::string> arguments = {script_path, match.directory_prefix + match.stem,
                                          match.extension, job.output_name};
    std::remove(job.output_name.c_str());
    std::vector<std::string> environment =
        script_environment(environ, job.lock_id, job.lock_name, pending_fd);
    const auto argv = pointers_to(arguments);
    const auto envp = pointers_to(environment);

    if (verbose_flag) {
        diagnostic_prefix(program_name, log_level::info)
            << "spawn: " << arguments[0] << ' ' << arguments[1] << ' ' << arguments[2] << ' '
            << arguments[3] << '\n';
    }
    std::clog.flush();

    job.target_before = state_of(job.target);
    job.pid = fork();
    if (job.pid == 0) exec_script(argv.data(), envp.data());
    // The scheduler reports a failed fork with errno, which the close must keep.
    const int fork_error = errno;
    close_fd(pending_fd);
    errno = fork_error;
    return launch_result::launched;
}

}  // namespace ombu
