#include "jobserver/jobserver.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "base/diagnostics.hpp"
#include "base/settings.hpp"
#include "jobserver/token_reader.hpp"

namespace ombu {

int jobserver_fds[2] = {-1, -1};
int implicit_job_slots = 1;

namespace {

void trace(const char* program_name, const char* text) {
    if (debug_flag) diagnostic_prefix(program_name, "INFO") << text << '\n';
}

// "<text>: <rest>: <message>", rest being where the fault was found.
bool fd_list_error(const char* program_name, const char* text, const char* rest,
                   const char* message) {
    diagnostic_prefix(program_name, "ERROR") << text << ": " << rest << message << '\n';
    return false;
}

}  // namespace

bool procure_job_slot(const char* program_name) {
    if (implicit_job_slots != 0) {
        implicit_job_slots = 0;
        trace(program_name, "Procured implicit job slot that is this process itself.");
        return true;
    }
    if (jobserver_fds[0] == -1) return false;
    pollfd query = {jobserver_fds[0], POLLIN, 0};
    if (poll(&query, 1, 0) != 1 || (query.revents & POLLIN) == 0) return false;
    // Another process may have taken the token since the poll; take_token
    // then comes back empty-handed instead of waiting.
    bool taken = take_token(jobserver_fds[0]);
    trace(program_name, taken ? "Procured a job slot from the jobserver."
                              : "Failed to procure a job slot from the jobserver.");
    return taken;
}

void vacate_job_slot(const char* program_name) {
    if (implicit_job_slots == 0) {
        implicit_job_slots = 1;
        trace(program_name, "Vacated implicit job slot that is this process itself.");
        return;
    }
    if (jobserver_fds[1] == -1) return;
    const char token = 0;
    while (write(jobserver_fds[1], &token, 1) < 0 && errno == EINTR) {
    }
    trace(program_name, "Vacated a job slot to the jobserver.");
}

bool parse_fd_list(const char* program_name, const char* text, int* fds, int count) {
    const char* position = text;
    for (int slot = 0;; ++slot) {
        char* end;
        long value = std::strtol(position, &end, 0);
        if (end == position) {
            return fd_list_error(program_name, text, position,
                                 ": File descriptor number not supplied.");
        }
        // Below the range of int too: the conversion would wrap to some
        // other descriptor (-4294967295 to 1).
        if (value > INT_MAX || value < INT_MIN) {
            return fd_list_error(program_name, text, end, ": File descriptor number too large.");
        }
        fds[slot] = static_cast<int>(value);
        position = end;
        if (slot == count - 1) break;
        if (*position == '\0') {
            fds[1] = fds[0];  // one number names both ends of the pipe
            break;
        }
        if (*position != ',')
            return fd_list_error(program_name, text, position, ": Missing comma.");
        ++position;
    }
    if (*position != '\0') {
        return fd_list_error(program_name, text, position,
                             ": Trailing junk after file descriptor(s).");
    }
    return true;
}

}  // namespace ombu
