#include "jobserver/token_reader.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/process.hpp"
#include "base/retry_on_interrupt.hpp"

namespace ombu {

namespace {

// A second open file description of the job-server pipe, opened non-blocking
// for this process alone, with the identity of the pipe it belongs to.
struct private_reader {
    int fd = -1;
    int source = -1;
    dev_t device = 0;
    ino_t inode = 0;
};

private_reader reader;

// The private description for fd, opened again when fd names another pipe
// than last time; -1 when none can be had.
int private_reader_for(int fd) {
    struct stat status;
    if (fstat(fd, &status) != 0) return -1;
    if (reader.fd >= 0 && reader.source == fd && reader.device == status.st_dev &&
        reader.inode == status.st_ino) {
        return reader.fd;
    }
    replace_fd(reader.fd, -1);
    // Opening the descriptor's name in /proc makes a new description of the
    // same pipe, so O_NONBLOCK set on it is not seen by anyone else.
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    int opened = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (opened < 0) return -1;
    struct stat reopened;
    if (fstat(opened, &reopened) != 0 || reopened.st_dev != status.st_dev ||
        reopened.st_ino != status.st_ino) {
        close(opened);
        return -1;
    }
    reader = {opened, fd, status.st_dev, status.st_ino};
    return opened;
}

ssize_t read_byte(int fd) {
    char byte;
    return retry_on_interrupt([&] { return read(fd, &byte, 1); });
}

extern "C" void interrupt_read(int) {}

}  // namespace

bool take_token_with_timer(int fd) {
    // No SA_RESTART: the signal makes the read return with EINTR, and the read
    // is not retried, so that it never waits for a token (an empty pipe gives
    // false within the timer's step). The timer
    // repeats, so a signal that comes before the read has started is followed
    // by another one while it waits.
    struct sigaction action = {};
    struct sigaction previous_action;
    action.sa_handler = interrupt_read;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, &previous_action);
    const itimerval timer = {{0, 10000}, {0, 10000}};
    itimerval previous_timer;
    setitimer(ITIMER_REAL, &timer, &previous_timer);

    char byte;
    ssize_t result = read(fd, &byte, 1);

    const itimerval stop = {};
    setitimer(ITIMER_REAL, &stop, nullptr);
    sigaction(SIGALRM, &previous_action, nullptr);
    setitimer(ITIMER_REAL, &previous_timer, nullptr);
    return result == 1;
}

void forget_private_reader() { reader = {}; }

bool take_token(int fd) {
    // A socket cannot be opened again through /proc, but it can be asked
    // not to wait for this one read.
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode)) {
        char byte;
        return retry_on_interrupt([&] { return recv(fd, &byte, 1, MSG_DONTWAIT); }) == 1;
    }
    int own = private_reader_for(fd);
    if (own < 0) return take_token_with_timer(fd);
    return read_byte(own) == 1;
}

}  // namespace ombu
