#include "jobserver/lend_slot.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "base/diagnostics.hpp"
#include "base/interrupt.hpp"
#include "base/settings.hpp"
#include "jobserver/jobserver.hpp"
#include "jobserver/token_reader.hpp"

namespace ombu {

namespace {

void trace(const char* program_name, const char* text) {
    if (debug_flag) diagnostic_prefix(program_name, "INFO") << text << '\n';
}

// Waits up to timeout_ms for the pipe to offer a token, then tries to take it.
bool take_token_within(int timeout_ms) {
    pollfd query = {jobserver_fds[0], POLLIN, 0};
    if (poll(&query, 1, timeout_ms) < 0 && errno != EINTR) usleep(1000 * timeout_ms);
    return take_token(jobserver_fds[0]);
}

}  // namespace

bool lend_job_slot(const char* program_name) {
    if (jobserver_fds[0] == -1 || jobserver_fds[1] == -1) return false;
    const char token = 0;
    ssize_t put;
    while ((put = write(jobserver_fds[1], &token, 1)) < 0 && errno == EINTR) {
    }
    if (put != 1) return false;
    trace(program_name, "Lent a job slot to the jobserver while waiting for a lock.");
    return true;
}

bool reclaim_job_slot(const char* program_name) {
    for (;;) {
        if (take_token_within(100)) break;
        if (interrupt_signal() != 0) {
            // Other builds are being interrupted too and give their slots
            // back; a short last try, then the token stays with the pipe.
            for (int attempt = 0; attempt < 20; ++attempt) {
                if (take_token_within(100)) {
                    trace(program_name, "Took back the lent job slot.");
                    return true;
                }
            }
            return false;
        }
    }
    trace(program_name, "Took back the lent job slot.");
    return true;
}

}  // namespace ombu
