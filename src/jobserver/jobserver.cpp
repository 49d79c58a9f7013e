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

bool parse_fd_list(const char* program_name, const char* text, int* fds, int count) {
    const char* position = text;
    for (int slot = 0;; ++slot) {
        char* end;
        long value = std::strtol(position, &end, 0);
        if (end == position) {
            report_error(program_name, text,
                         std::string(position) + ": File descriptor number not supplied.");
            return false;
        }
        // Below the range of int too: the conversion would wrap to some
        // other descriptor (-4294967295 to 1).
        if (value > INT_MAX || value < INT_MIN) {
            report_error(program_name, text,
                         std::string(end) + ": File descriptor number too large.");
            return false;
        }
        fds[slot] = static_cast<int>(value);
        position = end;
        if (slot == count - 1) break;
        if (*position == '\0') {
            fds[1] = fds[0];  // one number names both ends of the pipe
            break;
        }
        if (*position != ',') {
            report_error(program_name, text, std::string(position) + ": Missing comma.");
            return false;
        }
        ++position;
    }
    if (*position != '\0') {
        report_error(program_name, text,
                     std::string(position) + ": Trailing junk after file descriptor(s).");
        return false;
    }
    return true;
}

}  // namespace ombu
