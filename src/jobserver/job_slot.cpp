#include "jobserver/job_slot.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "base/build_watch.hpp"
#include "base/diagnostics.hpp"
#include "base/interrupt.hpp"
#include "base/process.hpp"
#include "base/retry_on_interrupt.hpp"
#include "base/settings.hpp"
#include "jobserver/jobserver.hpp"
#include "jobserver/token_reader.hpp"

namespace ombu {

int implicit_job_slots = 1;

namespace {

bool implicit_given_back = false;

void trace(const char* program_name, const char* text) {
    if (debug_flag) diagnostic_prefix(program_name, log_level::info) << text << '\n';
}

bool put_token() {
    const char token = 0;
    const ssize_t put = retry_on_interrupt([&] { return write(jobserver_fds[1], &token, 1); });
    return put == 1;
}

// Waits up to timeout_ms for the pipe to offer a token (or, when watch_build
// is set, for the build to end), then tries to take one.
bool take_token_within(int timeout_ms, bool watch_build) {
    pollfd watched[2] = {{jobserver_fds[0], POLLIN, 0},
                         {watch_build ? build_watch_fd() : -1, POLLIN, 0}};
    if (poll(watched, 2, timeout_ms) < 0 && errno != EINTR) usleep(1000 * timeout_ms);
    return take_token(jobserver_fds[0]);
}

}  // namespace

job_slot::job_slot(job_slot&& other) noexcept
    : kind(std::exchange(other.kind, kind_t::none)), program_name(other.program_name) {}

job_slot& job_slot::operator=(job_slot&& other) noexcept {
    if (this != &other) {
        give_back();
        kind = std::exchange(other.kind, kind_t::none);
        program_name = other.program_name;
    }
    return *this;
}

void job_slot::give_back() {
    const kind_t held = std::exchange(kind, kind_t::none);
    switch (held) {
        case kind_t::none:
            return;
        case kind_t::implicit:
            implicit_job_slots = 1;
            trace(program_name, "Vacated implicit job slot that is this process itself.");
            return;
        case kind_t::token:
            // A job of this process ended while the implicit slot is given back: its
            // token stands for the implicit slot from now on.
            if (implicit_given_back) {
                implicit_given_back = false;
                trace(program_name, "Took back the lent job slot from an ended job.");
                return;
            }
            if (jobserver_fds[1] != -1) put_token();
            trace(program_name, "Vacated a job slot to the jobserver.");
            return;
    }
}

job_slot take_job_slot(const char* program_name) {
    if (implicit_job_slots != 0 && !implicit_given_back) {
        implicit_job_slots = 0;
        trace(program_name, "Procured implicit job slot that is this process itself.");
        return job_slot(job_slot::kind_t::implicit, program_name);
    }
    if (jobserver_fds[0] == -1) return {};
    pollfd query = {jobserver_fds[0], POLLIN, 0};
    if (poll(&query, 1, 0) != 1 || (query.revents & POLLIN) == 0) return {};
    // Another process may have taken the token since the poll; take_token
    // then comes back empty-handed instead of waiting.
    const bool taken = take_token(jobserver_fds[0]);
    trace(program_name, taken ? "Procured a job slot from the jobserver."
                              : "Failed to procure a job slot from the jobserver.");
    if (!taken) return {};
    return job_slot(job_slot::kind_t::token, program_name);
}

bool give_back_implicit_slot(const char* program_name) {
    if (implicit_given_back || jobserver_fds[0] == -1 || jobserver_fds[1] == -1) return false;
    if (!put_token()) return false;
    implicit_given_back = true;
    trace(program_name, "Lent the implicit job slot to the jobserver while waiting.");
    return true;
}

bool implicit_slot_given_back() { return implicit_given_back; }

namespace {

// How long a process left to take back a slot waits for a token: tokens
// that do not come back within it were lost with a killed process.
constexpr int settling_ms = 15000;

// Takes one token, waiting for one as long as tokens may still come back.
bool take_token_when_one_comes(int token_fd) {
    for (int waited_ms = 0; waited_ms < settling_ms; waited_ms += 100) {
        pollfd query = {token_fd, POLLIN, 0};
        retry_on_interrupt([&] { return poll(&query, 1, 100); });
        if (take_token(token_fd)) return true;
    }
    return false;
}

// The build stops while the implicit slot is given back. A nested build
// cannot wait for a token here: the tokens that would pay the slot back may
// be held by jobs of its own ancestors, whose scripts wait for it to end;
// and ending without it would leave one token too many in the pipe. A
// process of its own, a member of the build that holds nothing else, takes
// one token out of the pipe as soon as one comes, while this one ends. The
// outermost build has no ancestors, and no script of its own runs while it
// has its slot given back: it waits itself.
bool hand_over_implicit_slot() {
    const int token_fd = jobserver_fds[0];
    if (build_watch_fd() < 0) return take_token_when_one_comes(token_fd);
    return run_detached({token_fd, build_member_fd()}, [token_fd] {
        forget_private_reader();
        take_token_when_one_comes(token_fd);
    });
}

}  // namespace

bool take_back_implicit_slot(const char* program_name) {
    if (!implicit_given_back) return true;
    for (;;) {
        if (take_token_within(100, true)) break;
        if (interrupt_signal() != 0 || build_gone()) {
            if (!take_token(jobserver_fds[0])) {
                const bool handed = hand_over_implicit_slot();
                trace(program_name, handed ? "Left the lent job slot to be taken back."
                                           : "Could not take back the lent job slot.");
            }
            implicit_given_back = false;
            return false;
        }
    }
    implicit_given_back = false;
    trace(program_name, "Took back the lent job slot.");
    return true;
}

}  // namespace ombu
