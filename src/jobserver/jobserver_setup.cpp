// Setting up the job server at start-up: a new pipe for -j N, or joining the
// one that make or a parent build hands down.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/build_watch.hpp"
#include "base/diagnostics.hpp"
#include "base/retry_on_interrupt.hpp"
#include "base/settings.hpp"
#include "jobserver/jobserver.hpp"

namespace ombu {

namespace {

// Makes room for `tokens` bytes in the pipe as far as the system lets an
// ordinary user; max_size > 0 instead sets the capacity to at most that.
void fit_pipe(int fd, unsigned long tokens, long max_size) {
#ifdef F_SETPIPE_SZ
    if (max_size > 0) {
        fcntl(fd, F_SETPIPE_SZ, static_cast<int>(std::min<long>(max_size, INT_MAX)));
        return;
    }
    int capacity = fcntl(fd, F_GETPIPE_SZ);
    if (capacity < 0) return;
    // The system refuses sizes beyond its per-user limit; halve the request
    // until it fits or no longer beats what the pipe already holds.
    for (unsigned long wanted = std::min<unsigned long>(tokens, INT_MAX);
         wanted > static_cast<unsigned long>(capacity); wanted /= 2) {
        if (fcntl(fd, F_SETPIPE_SZ, static_cast<int>(wanted)) >= 0) return;
    }
#else
    (void)fd;
    (void)tokens;
    (void)max_size;
#endif
}

// Writes up to `tokens` NUL bytes without blocking; the number written. The
// pipe is still private to this process, so its mode may change for a while.
unsigned long fill_pipe(int fd, unsigned long tokens) {
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    static const char zeros[4096] = {};
    unsigned long written = 0;
    while (written < tokens) {
        size_t chunk = static_cast<size_t>(std::min<unsigned long>(tokens - written, sizeof zeros));
        const ssize_t result = retry_on_interrupt([&] { return write(fd, zeros, chunk); });
        if (result <= 0) break;
        written += static_cast<unsigned long>(result);
    }
    fcntl(fd, F_SETFL, flags);
    return written;
}

// True when fd is open on a pipe, FIFO or socket in a mode that allows
// reading (or writing). Make closes its job-server descriptors for recipes
// that it does not know to be recursive, and the numbers may then name
// unrelated files.
bool is_pipe_end(int fd, bool reading, struct stat& status) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    int mode = flags & O_ACCMODE;
    if (mode != O_RDWR && mode != (reading ? O_RDONLY : O_WRONLY)) return false;
    return fstat(fd, &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode));
}

// Both descriptors are ends of one and the same pipe, or both stand for one
// socket, which carries tokens both ways. Two different sockets are refused:
// whether they are the ends of one pair cannot be told.
bool is_jobserver_pipe(const int fds[2]) {
    struct stat read_end, write_end;
    return is_pipe_end(fds[0], true, read_end) && is_pipe_end(fds[1], false, write_end) &&
           read_end.st_dev == write_end.st_dev && read_end.st_ino == write_end.st_ino;
}

// make 4.4 and later name a FIFO instead of passing descriptors. Its
// descriptor is left open across exec so that scripts get it in OMBUFLAGS.
void adopt_fifo(const char* program_name, const char* path) {
    int fd = open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        diagnostic_prefix(program_name, log_level::warning)
            << path << ": " << std::strerror(errno) << "; running without a jobserver.\n";
        return;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) {
        close(fd);
        diagnostic_prefix(program_name, log_level::warning)
            << path << ": Not a FIFO; running without a jobserver.\n";
        return;
    }
    // Blocking like any other job-server descriptor that scripts inherit.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    jobserver_fds[0] = fd;
    jobserver_fds[1] = fd;
}

// Tokens that the pipe made by this process must hold when the build ends;
// -1 when this process did not make the job server.
long expected_tokens = -1;

// Bytes waiting in the pipe; -1 when they cannot be counted.
long tokens_in_pipe() {
    int count = 0;
    if (ioctl(jobserver_fds[0], FIONREAD, &count) != 0) return -1;
    return count;
}

}  // namespace

bool create_jobserver(const char* program_name, unsigned long jobs, long max_pipe_size) {
    if (jobs == 0) {
        diagnostic_prefix(program_name, log_level::fatal) << "Invalid job limit.\n";
        return false;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        report_system_error(program_name, "pipe", errno, nullptr, log_level::fatal);
        return false;
    }
    jobserver_fds[0] = fds[0];
    jobserver_fds[1] = fds[1];

    // jobs - 1 tokens; the implicit slot of this process is the last job.
    unsigned long tokens = jobs - 1;
    if (tokens > 0) fit_pipe(fds[1], tokens, max_pipe_size);
    unsigned long written = fill_pipe(fds[1], tokens);
    if (debug_flag) {
        for (unsigned long i = 0; i < written; ++i) {
            diagnostic_prefix(program_name, log_level::info)
                << "Vacated a job slot to the jobserver.\n";
        }
    }
    expected_tokens = static_cast<long>(written);
    if (written < tokens) {
        diagnostic_prefix(program_name, log_level::warning)
            << "Job limit " << jobs << " does not fit in the jobserver pipe; using " << written + 1
            << ".\n";
    }
    return true;
}

bool adopt_jobserver(const char* program_name, const char* text, bool fifo_allowed) {
    static const char fifo_prefix[] = "fifo:";
    if (fifo_allowed && std::strncmp(text, fifo_prefix, sizeof fifo_prefix - 1) == 0) {
        adopt_fifo(program_name, text + sizeof fifo_prefix - 1);
        return true;
    }
    int fds[2] = {-1, -1};
    if (!parse_fd_list(program_name, text, fds, 2)) return false;
    if (!is_jobserver_pipe(fds)) {
        diagnostic_prefix(program_name, log_level::warning)
            << text << ": Not an open jobserver pipe; running without a jobserver.\n";
        return true;
    }
    jobserver_fds[0] = fds[0];
    jobserver_fds[1] = fds[1];
    return true;
}

void audit_jobserver(const char* program_name, bool interrupted) {
    if (expected_tokens < 0) return;
    long found = tokens_in_pipe();
    if (!interrupted && found == expected_tokens) return;
    // Tokens still out come back as the last members of the build end: nested
    // builds stopping, or left behind by a killed script, and the processes
    // that take back slots given back during lock waits. Wait for them (a
    // member that never ends runs a script that never ends), but not for
    // ever.
    for (int waited_ms = 0; waited_ms < 20000; waited_ms += 5) {
        if (build_members_ended() || (!interrupted && found == expected_tokens)) break;
        usleep(5000);
        found = tokens_in_pipe();
    }
    found = tokens_in_pipe();
    if (found < 0 || found == expected_tokens) return;
    diagnostic_prefix(program_name, log_level::warning)
        << "Job server: " << found << " tokens in the pipe at the end of the build; expected "
        << expected_tokens << ".\n";
}

}  // namespace ombu
