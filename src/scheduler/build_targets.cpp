#include "scheduler/build_targets.hpp"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <ostream>
#include <string_view>
#include <unordered_set>

#include "base/build_watch.hpp"
#include "base/diagnostics.hpp"
#include "base/interrupt.hpp"
#include "base/process.hpp"
#include "base/retry_on_interrupt.hpp"
#include "base/settings.hpp"
#include "database/failure_marks.hpp"
#include "database/layout.hpp"
#include "fingerprint/fingerprint.hpp"
#include "jobserver/job_slot.hpp"
#include "jobserver/jobserver.hpp"
#include "runner/job.hpp"
#include "runner/launch_job.hpp"
#include "runner/script_hints.hpp"
#include "scheduler/commit.hpp"
#include "scheduler/needs_rebuild.hpp"

namespace ombu {

namespace {

using job_list = std::vector<std::shared_ptr<Job>>;

// The jobs of one call and how far the loop has got with them: every job
// before next_to_start has been offered to the launch, every job before
// next_to_await has ended.
struct job_loop {
    const char* program_name = nullptr;
    job_list jobs{};
    std::size_t next_to_start = 0;
    std::size_t next_to_await = 0;
    std::vector<file_identity> launched_locks{};  // lock files of the jobs launched so far
    // Jobs in a row that were put off because another process holds their
    // target's lock, each moved behind the jobs not yet offered.
    std::size_t put_off = 0;
    bool deferred = false;  // every job left was put off: await a job or a moment
    bool result = true;
};

// How often jobs put off for another process's lock are offered again.
constexpr int lock_retry_ms = 50;

void trace(const char* program_name, const char* text) {
    if (debug_flag) diagnostic_prefix(program_name, log_level::info) << text;
}

void trace_call(bool always, const char* program_name, const std::vector<const char*>& names) {
    std::ostream& out = diagnostic_prefix(program_name, log_level::info);
    out << (always ? "OMBU: >" : "OMBU-IFCHANGE-INTERNAL: >");
    for (const char* name : names) {
        if (is_source_file(name)) {
            out << " (" << name << ')';
        } else {
            out << ' ' << name;
        }
    }
    out << "<\n" << std::flush;
}

// Judges every name, a name given twice only once, and makes the jobs.
void judge_names(bool always, const std::vector<const char*>& names, job_loop& loop) {
    std::unordered_set<std::string_view> seen;
    for (const char* name : names) {
        if (interrupt_signal() != 0) {
            loop.result = false;
            return;
        }
        if (names.size() > 1 && !seen.insert(name).second) continue;
        switch (needs_rebuild(always, loop.program_name, name)) {
            case rebuild_decision::up_to_date:
                break;
            case rebuild_decision::rebuild: {
                auto job = std::make_shared<Job>(name);
                if (!always) {
                    job->judged = true;
                    job->judged_prerequisites = identity_of_name(job->prerequisites_name.c_str());
                }
                // A target that failed earlier in this build fails again at once.
                if (skip_failed_target(loop.program_name, job->target)) {
                    loop.result = false;
                    break;
                }
                loop.jobs.push_back(std::move(job));
                break;
            }
            case rebuild_decision::cycle:
                loop.result = false;
                break;
        }
    }
}

bool any_running(const job_loop& loop) {
    for (std::size_t i = loop.next_to_await; i < loop.next_to_start; ++i) {
        if (loop.jobs[i]->pid != -1) return true;
    }
    return false;
}

// Offers the job at next_to_start to the launch, with the slot taken for it;
// the slot goes to the job when its script runs, and back as it came
// otherwise. A job whose target is locked by another process is put off
// behind the others not yet offered, so that they run meanwhile. The launch
// waits for a lock only when no script of this call runs and every other job
// left was put off too (a process whose scripts run never waits for a lock:
// one of its scripts may hold what the lock's holder waits for). False when
// every job left was put off while scripts run: one of them, or a moment, is
// awaited first.
bool start_job(job_loop& loop, job_slot slot) {
    Job& job = *loop.jobs[loop.next_to_start];
    // Failed since it was judged (in a nested judgement, or another process).
    if (skip_failed_target(loop.program_name, job.target)) {
        ++loop.next_to_start;
        loop.result = false;
        return true;
    }
    const std::size_t left = loop.jobs.size() - loop.next_to_start;
    const bool last_chance = loop.put_off + 1 >= left;
    const launch_result launched =
        launch_job(job, loop.program_name, loop.launched_locks, last_chance && !any_running(loop));
    const int fork_error = errno;
    if (launched == launch_result::busy) {
        if (!last_chance) {
            std::rotate(loop.jobs.begin() + static_cast<std::ptrdiff_t>(loop.next_to_start),
                        loop.jobs.begin() + static_cast<std::ptrdiff_t>(loop.next_to_start) + 1,
                        loop.jobs.end());
            ++loop.put_off;
            return true;
        }
        loop.put_off = 0;
        loop.deferred = true;
        return false;
    }
    loop.put_off = 0;
    ++loop.next_to_start;
    switch (launched) {
        case launch_result::duplicate:
            // Another spelling of a target this call has launched: built once.
        case launch_result::done:
            // Committed by another job since it was judged: built once.
            return true;
        case launch_result::failed:
            mark_failed(job.target);
            loop.result = false;
            break;
        case launch_result::launched:
            if (job.pid == -1) {
                report_system_error(loop.program_name, job.script, fork_error);
                loop.result = false;
            } else {
                job.slot = std::move(slot);
            }
            break;
        case launch_result::busy:
            break;
    }
    // Another spelling of a target whose launch failed is not tried again.
    if (job.lock_known) loop.launched_locks.push_back(job.lock_id);
    return true;
}

// Starts jobs while slots are free. True when the loop is to await a job next.
bool start_jobs(job_loop& loop) {
    for (;;) {
        if (interrupt_signal() != 0 || build_gone()) return true;
        job_slot slot = take_job_slot(loop.program_name);
        if (!slot.held()) return loop.next_to_await != loop.next_to_start;
        if (!start_job(loop, std::move(slot))) return true;
        if (loop.next_to_start == loop.jobs.size()) return true;
    }
}

Job* running_job(job_loop& loop, pid_t pid) {
    for (std::size_t i = loop.next_to_await; i < loop.next_to_start; ++i) {
        if (loop.jobs[i]->pid == pid) return loop.jobs[i].get();
    }
    return nullptr;
}

// Waiting failed: no child is left to end the jobs still marked running, so
// they fail now rather than being waited for again and again.
void abandon_running_jobs(job_loop& loop) {
    for (std::size_t i = loop.next_to_await; i < loop.next_to_start; ++i) {
        Job& job = *loop.jobs[i];
        if (job.pid == -1) continue;
        job.pid = -1;
        fail_job(job, loop.program_name, loop.result);
    }
}

void await_job(job_loop& loop) {
    while (loop.next_to_await < loop.next_to_start && loop.jobs[loop.next_to_await]->pid == -1) {
        ++loop.next_to_await;
    }
    if (loop.next_to_await == loop.next_to_start) return;
    pid_t pid = -1;
    int child_end = 0;
    int status = 0;
    // While jobs wait to start, a token that another process gives back ends
    // the wait as well as a child's end does: the slot is not left idle.
    const bool may_start =
        loop.next_to_start != loop.jobs.size() && !loop.deferred && jobserver_fds[0] != -1;
    // Otherwise only a child's end can let the loop go on: an implicit slot
    // that none of its scripts uses is given back meanwhile, and the first job of a
    // token to end pays it back.
    if (!may_start && implicit_job_slots == 1) give_back_implicit_slot(loop.program_name);
    // Jobs put off for a lock held elsewhere are offered again after a moment:
    // nothing tells when another process lets go of a lock.
    const int waited =
        wait_for_child_or_input(may_start ? jobserver_fds[0] : -1, build_watch_fd(), pid, child_end,
                                status, loop.deferred ? lock_retry_ms : -1);
    if (waited == wait_input) return;
    if (waited == wait_timed_out) {
        loop.deferred = false;
        loop.put_off = 0;
        return;
    }
    if (waited == wait_watch) {
        build_gone();  // notes the interrupt: the loop stops the jobs
        return;
    }
    loop.deferred = false;
    loop.put_off = 0;
    if (waited <= 0) {
        if (errno == EINTR && interrupt_signal() != 0) return;  // the loop stops the jobs
        report_system_error(loop.program_name, errno);
        loop.result = false;
        abandon_running_jobs(loop);
        return;
    }
    if (debug_flag) {
        diagnostic_prefix(loop.program_name, log_level::info)
            << "Reaped child process ID " << pid << ".\n";
    }
    Job* job = running_job(loop, pid);
    if (job == nullptr) {
        diagnostic_prefix(loop.program_name, log_level::error)
            << "Unknown child process ID " << pid << ".\n";
        return;
    }
    job->pid = -1;
    // The script may have changed any file, by its own hand or through
    // builds it started.
    process_fingerprints().clear();
    if (child_end == child_exited && status == 0) {
        commit_job(*job, loop.program_name, loop.result);
    } else {
        fail_job(*job, loop.program_name, loop.result);
        // 255: the exit of a child that could not start the script.
        if (child_end == child_exited && status == 255) {
            hint_unstartable_script(loop.program_name, *job);
        }
    }
}

// The process was interrupted: no job is started any more, the running
// scripts get the signal, and each is reaped and ends as a failure whose
// output and pending prerequisites file are removed.
void stop_jobs(job_loop& loop) {
    end_build_watch();  // nested builds everywhere stop too
    loop.result = false;
    loop.jobs.resize(loop.next_to_start);  // the rest are never offered
    for (std::size_t i = loop.next_to_await; i < loop.next_to_start; ++i) {
        if (loop.jobs[i]->pid != -1) kill(loop.jobs[i]->pid, interrupt_signal());
    }
    while (any_running(loop)) {
        pid_t pid = -1;
        int child_end = 0;
        int status = 0;
        // Another signal only interrupts the wait: go on waiting.
        const int reaped =
            retry_on_interrupt([&] { return wait_for_child(pid, child_end, status); });
        if (reaped <= 0) {
            abandon_running_jobs(loop);
            break;
        }
        if (Job* job = running_job(loop, pid)) {
            job->pid = -1;
            abandon_job(*job, loop.program_name, loop.result);
        }
    }
    loop.next_to_await = loop.next_to_start;
}

void run_jobs(job_loop& loop) {
    do {
        if (interrupt_signal() != 0) {
            stop_jobs(loop);
            return;
        }
        const bool all_offered = loop.next_to_start == loop.jobs.size();
        if (!all_offered) trace(loop.program_name, "Jobs still available to start.\n");
        if (all_offered || loop.next_to_start != loop.next_to_await) {
            trace(loop.program_name, "Jobs still available to await.\n");
        }
        if (all_offered || start_jobs(loop)) await_job(loop);
    } while (loop.next_to_await != loop.jobs.size());
}

}  // namespace

bool build_targets(bool always, const char* program_name, const std::vector<const char*>& names) {
    if (debug_flag) trace_call(always, program_name, names);
    job_loop loop{program_name};
    judge_names(always, names, loop);
    if (!loop.jobs.empty()) run_jobs(loop);
    if (debug_flag) {
        diagnostic_prefix(program_name, log_level::info)
            << "Ombu status = " << (loop.result ? '1' : '0') << ".\n"
            << std::flush;
    }
    return loop.result;
}

}  // namespace ombu
