#include "scheduler/commit.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <set>

#include "base/diagnostics.hpp"
#include "base/directory_tree.hpp"
#include "base/owned_fd.hpp"
#include "base/process.hpp"
#include "base/settings.hpp"
#include "database/failure_marks.hpp"
#include "database/job_seal.hpp"
#include "database/layout.hpp"
#include "fingerprint/fingerprint.hpp"
#include "runner/script_hints.hpp"

namespace ombu {

namespace {

std::set<std::string> committed_targets;

// What every ending of a job does last: the job lets go of its lock (the
// value it held goes) and gives its slot back.
void release_job(Job& job) {
    job.lock = target_lock();
    job.slot.give_back();
}

// A commit that went wrong half way: whatever earlier steps did stays done.
void abandon_commit(Job& job, bool& result) {
    remove_tree(job.output_name);
    result = false;
    release_job(job);
}

// The job ends here for whatever its script left running: the pending file
// takes no more records (database/job_seal.hpp) and keeps the launch's time.
// True when it is sealed or not there.
bool seal_job(const Job& job) {
    const owned_fd pending(open(job.pending_name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (!pending.held()) return errno == ENOENT;
    return seal_pending_file(pending.get(), &job.launched_at);
}

}  // namespace

bool committed_here(const std::string& target) {
    return !committed_targets.empty() && committed_targets.count(target) != 0;
}

void commit_job(Job& job, const char* program_name, bool& result) {
    if (!seal_job(job)) {
        report_system_error(program_name, job.pending_name, errno, "Unable to seal database file");
        abandon_commit(job, result);
        return;
    }
    struct stat status;
    if (lstat(job.output_name.c_str(), &status) != 0) {
        // The script wrote nothing: the target becomes an empty file. A failure
        // here shows when the output is renamed.
        hint_target_written_directly(program_name, job);
        const int fd =
            open(job.output_name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0) close_fd(fd);
    }
    if (is_directory(job.target) && remove_tree(job.target) != 0) {
        report_system_error(program_name, job.target, errno,
                            "Unable to remove contents of target directory");
        abandon_commit(job, result);
        return;
    }
    process_fingerprints().forget(job.target);
    // The old records go first and the new ones come last, so that a build
    // killed at any instant leaves the old pair, the new pair, or a target
    // without records, which the next build rebuilds: never new records beside
    // the old target. The pending file keeps the name a target meanwhile, so
    // it must be there before anything goes.
    if (lstat(job.pending_name.c_str(), &status) != 0) {
        report_system_error(program_name, job.pending_name, errno,
                            "Unable to rename database file");
        abandon_commit(job, result);
        return;
    }
    if (std::remove(job.prerequisites_name.c_str()) != 0 && errno != ENOENT) {
        report_system_error(program_name, job.prerequisites_name, errno,
                            "Unable to remove database file");
        abandon_commit(job, result);
        return;
    }
    if (std::rename(job.output_name.c_str(), job.target.c_str()) != 0) {
        report_system_error(program_name, job.target, errno, "Unable to rename target file");
        abandon_commit(job, result);
        return;
    }
    if (std::rename(job.pending_name.c_str(), job.prerequisites_name.c_str()) != 0) {
        report_system_error(program_name, job.pending_name, errno,
                            "Unable to rename database file");
        abandon_commit(job, result);
        return;
    }
    committed_targets.insert(job.target);
    clear_failure_mark(job.target);
    if (!silent_flag)
        diagnostic_prefix(program_name, log_level::info) << job.target << ": Ombune.\n"
                                                         << std::flush;
    release_job(job);
}

void fail_job(Job& job, const char* program_name, bool& result) {
    diagnostic_prefix(program_name, log_level::error) << job.target << ": Not done.\n";
    seal_job(job);
    mark_failed(job.target);
    remove_tree(job.output_name);
    result = false;
    release_job(job);
}

void abandon_job(Job& job, const char* program_name, bool& result) {
    std::remove(job.pending_name.c_str());
    fail_job(job, program_name, result);
}

}  // namespace ombu
