#include "base/retry_on_interrupt.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace ombu {
namespace {

// A call that fails with each of errors in turn, then returns 7.
struct scripted_call {
    std::vector<int> errors;
    std::size_t calls = 0;
    int operator()() {
        if (calls < errors.size()) {
            errno = errors[calls++];
            return -1;
        }
        ++calls;
        return 7;
    }
};

TEST(RetryOnInterrupt, RetriesOnlyInterruptions) {
    struct {
        std::vector<int> errors;
        int result;
        std::size_t calls;
        int error;  // errno after a failure
    } cases[] = {
        {{}, 7, 1, 0},
        {{EINTR, EINTR}, 7, 3, 0},
        {{EBADF}, -1, 1, EBADF},
        {{EINTR, EAGAIN, EINTR}, -1, 2, EAGAIN},
    };
    for (const auto& c : cases) {
        scripted_call call{c.errors};
        errno = 0;
        const int result = retry_on_interrupt([&] { return call(); });
        const int error = errno;
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(call.calls, c.calls);
        if (c.result == -1) {
            EXPECT_EQ(error, c.error);
        }
    }
}

int pipe_ends[2];

// Puts the byte that the interrupted read waits for.
extern "C" void write_byte(int) { (void)!write(pipe_ends[1], "x", 1); }

// A read that a signal's handler interrupts (no SA_RESTART) is read again and
// gets what the handler wrote.
TEST(RetryOnInterrupt, ReadInterruptedBySignalIsReadAgain) {
    ASSERT_EQ(pipe(pipe_ends), 0);
    struct sigaction action = {};
    struct sigaction previous;
    action.sa_handler = write_byte;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, &previous);
    const itimerval once = {{0, 0}, {0, 20000}};
    setitimer(ITIMER_REAL, &once, nullptr);
    char byte = 0;
    const ssize_t got = retry_on_interrupt([&] { return read(pipe_ends[0], &byte, 1); });
    sigaction(SIGALRM, &previous, nullptr);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    EXPECT_EQ(got, 1);
    EXPECT_EQ(byte, 'x');
}

// Once the process has noted an interrupting signal, an interrupted call
// returns its failure instead of waiting on; before, it is retried. In a child:
// the note cannot be taken back.
TEST(RetryUnlessInterrupted, StopsOnceAnInterruptIsNoted) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        scripted_call before{{EINTR}};
        if (retry_unless_interrupted([&] { return before(); }) != 7 || before.calls != 2) _exit(1);
        note_interrupt(SIGTERM);
        scripted_call after{{EINTR}};
        const int result = retry_unless_interrupted([&] { return after(); });
        _exit(result == -1 && errno == EINTR && after.calls == 1 ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace ombu
