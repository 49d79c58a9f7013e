#include "runner/launch_job.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>

#include "base/build_watch.hpp"
#include "base/diagnostics.hpp"
#include "base/directory_tree.hpp"
#include "base/hint.hpp"
#include "base/interrupt.hpp"
#include "base/owned_fd.hpp"
#include "base/process.hpp"
#include "base/settings.hpp"
#include "database/failure_marks.hpp"
#include "database/job_seal.hpp"
#include "database/layout.hpp"
#include "locking/target_lock.hpp"
#include "runner/find_script.hpp"
#include "runner/script_environment.hpp"

namespace ombu {

namespace {

// Takes the job's exclusive lock into lock, unless the lock is one that
// waiting for would never end.
launch_result lock_target(Job& job, const char* program_name,
                          const std::vector<file_identity>& launched_locks, bool may_wait,
                          target_lock& lock) {
    if (debug_flag)
        diagnostic_prefix(program_name, log_level::info) << job.lock_name << ": Locking ...\n";
    const lock_status status = take_target_lock(program_name,
                                                {.target = job.target,
                                                 .lock_name = job.lock_name,
                                                 .exclusive = true,
                                                 .may_wait = may_wait,
                                                 .own_locks = &launched_locks},
                                                lock);
    if (lock.identified()) {
        job.lock_known = true;
        job.lock_id = lock.identity();
    }
    switch (status) {
        case lock_status::locked:
            break;
        case lock_status::not_opened: {
            const int error = errno;
            report_system_error(program_name, job.lock_name, error);
            if (error == ENOENT && access(database_directory, F_OK) != 0) {
                print_hint(program_name, database_directory,
                           "No build database here: ombu makes one; run the build from the "
                           "directory that holds it.");
            }
            return launch_result::failed;
        }
        case lock_status::failed:
            if (interrupt_signal() == 0) report_system_error(program_name, job.lock_name, errno);
            return launch_result::failed;
        case lock_status::cycle:
            return launch_result::failed;
        case lock_status::duplicate:
            // Another spelling of a target that this call already launched.
            return launch_result::duplicate;
        case lock_status::busy:
            return launch_result::busy;
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
    return launch_result::launched;
}

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

    // A launch that fails lets go of the lock at once, as the local value
    // goes: kept until the end of the call, it could be what another process
    // waits for while this one waits for that process's lock, and neither
    // wait would end. The job holds it only once its script runs.
    target_lock lock;
    const launch_result locked = lock_target(job, program_name, launched_locks, may_wait, lock);
    if (locked != launch_result::launched) return locked;

    // A new pending file for every launch: a script's process left running
    // by an earlier build that was killed still holds the old one, which,
    // unlinked, takes no more records (database/job_seal.hpp).
    unlink(job.pending_name.c_str());
    owned_fd pending(open(job.pending_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0777));
    if (!pending.held() || !open_to_records(pending.get())) {
        report_system_error(program_name, job.pending_name, errno);
        return launch_result::failed;
    }

    // The search records its candidates into the job's own pending file.
    script_match match;
    if (!find_script(program_name, job, match, pending.get())) {
        // The file may stay (see forget_target_without_script): sealed, as
        // the file of every job that has ended, so no job seems to run on it.
        seal_pending_file(pending.get());
        pending.reset();
        forget_target_without_script(job.target, job.pending_name);
        return launch_result::failed;
    }

    // A script path beginning with "-" would be read as options by the
    // script's interpreter: it is started as "./-...", the same file.
    const std::string script_path = job.script[0] == '-' ? "./" + job.script : job.script;
    std::vector<std::string> arguments = {script_path, match.directory_prefix + match.stem,
                                          match.extension, job.output_name};
    std::remove(job.output_name.c_str());
    std::vector<std::string> environment =
        script_environment(environ, job.lock_id, job.lock_name, pending.get());
    const auto argv = pointers_to(arguments);
    const auto envp = pointers_to(environment);

    if (verbose_flag) {
        diagnostic_prefix(program_name, log_level::info)
            << "spawn: " << arguments[0] << ' ' << arguments[1] << ' ' << arguments[2] << ' '
            << arguments[3] << '\n';
    }
    std::clog.flush();

    // The build may have been told to stop while this launch waited for its
    // lock: no script starts after that.
    if (interrupt_signal() != 0 || build_gone()) {
        seal_pending_file(pending.get());
        return launch_result::failed;
    }
    job.target_before = state_of(job.target);
    // The launch's moment, from the file system's clock: the file was made
    // now, and the search's records kept its time.
    struct stat pending_status;
    if (fstat(pending.get(), &pending_status) == 0) job.launched_at = pending_status.st_mtim;
    job.pid = fork();
    if (job.pid == 0) exec_script(argv.data(), envp.data());
    // The scheduler reports a failed fork with errno, which the close must keep.
    const int fork_error = errno;
    if (job.pid == -1) seal_pending_file(pending.get());  // no job runs on it
    pending.reset();
    if (job.pid != -1) job.lock = std::move(lock);
    errno = fork_error;
    return launch_result::launched;
}

}  // namespace ombu
