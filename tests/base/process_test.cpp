#include "base/process.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "support/scratch.hpp"

namespace ombu {
namespace {

using ombu_unit::scratch_directory;

struct ended {
    int result = -2;
    pid_t pid = -1;
    int code = -1;
    int status = -1;
};

ended wait_one() {
    ended e;
    e.result = wait_for_child(e.pid, e.code, e.status);
    return e;
}

TEST(WaitForChild, NoChildrenFailsAtOnce) {
    pid_t pid = 123;
    int code = 7, status = 7;
    EXPECT_EQ(wait_for_child(pid, code, status), -1);
    EXPECT_EQ(pid, 123);  // outputs untouched
    EXPECT_EQ(code, 7);
}

TEST(WaitForChild, ClassifiesHowAChildEnded) {
    scratch_directory scratch;  // a core file, if any, lands here
    const struct {
        void (*body)();
        int code;
        int status;
    } cases[] = {
        {[] { _exit(3); }, child_exited, 3},
        {[] { _exit(0); }, child_exited, 0},
        {[] { raise(SIGKILL); }, child_killed, SIGKILL},
        {[] {
             rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
             setrlimit(RLIMIT_CORE, &unlimited);
             signal(SIGQUIT, SIG_DFL);  // its default action dumps core
             raise(SIGQUIT);
         },
         child_dumped, SIGQUIT},
    };
    for (const auto& c : cases) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            c.body();
            _exit(99);
        }
        ended e = wait_one();
        EXPECT_EQ(e.result, 1);
        EXPECT_EQ(e.pid, child);
        EXPECT_EQ(e.code, c.code);
        EXPECT_EQ(e.status, c.status);
    }
}

extern "C" void ignore_signal(int) {}

TEST(WaitForChild, ASignalDuringTheWaitIsNotSeen) {
    struct sigaction action = {};
    struct sigaction previous;
    action.sa_handler = ignore_signal;  // no SA_RESTART: waitid returns EINTR
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, &previous);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char go;
        if (read(ready[0], &go, 1) != 1) _exit(98);
        kill(getppid(), SIGUSR1);
        usleep(100000);
        _exit(5);
    }
    ASSERT_EQ(write(ready[1], "g", 1), 1);
    ended e = wait_one();
    sigaction(SIGUSR1, &previous, nullptr);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(e.result, 1);
    EXPECT_EQ(e.code, child_exited);
    EXPECT_EQ(e.status, 5);
}

// A child that holds a lock on "lock" until told to let go, and says so
// through `released` just before it does.
class lock_holder {
public:
    explicit lock_holder(bool exclusive) {
        if (pipe(go_) != 0 || pipe(held_) != 0 || pipe(released_) != 0) std::abort();
        pid_ = fork();
        if (pid_ == 0) {
            int fd = exclusive ? open_locked_exclusive(AT_FDCWD, "lock")
                               : open_locked_shared(AT_FDCWD, "lock");
            if (fd < 0 || write(held_[1], "h", 1) != 1) _exit(1);
            char c;
            if (read(go_[0], &c, 1) != 1) _exit(1);
            usleep(100000);  // long enough for a wrong lock to be granted first
            if (write(released_[1], "r", 1) != 1) _exit(1);
            close(fd);
            _exit(0);
        }
        char c;
        if (read(held_[0], &c, 1) != 1) std::abort();
    }
    ~lock_holder() {
        for (int fd : {go_[0], go_[1], held_[0], held_[1], released_[0], released_[1]}) {
            close(fd);
        }
    }
    void let_go() {
        if (write(go_[1], "g", 1) != 1) std::abort();
    }
    bool has_released() {
        pollfd query = {released_[0], POLLIN, 0};
        return poll(&query, 1, 0) == 1;
    }
    int reap() {
        ended e = wait_one();
        return e.result == 1 && e.pid == pid_ && e.code == child_exited ? e.status : -1;
    }

private:
    pid_t pid_ = -1;
    int go_[2], held_[2], released_[2];
};

// A process left to finish something on its own: it holds only the kept
// descriptors (the standard streams are closed, so a reader of the caller's
// output does not wait for it), and nobody has to reap it.
TEST(RunDetached, HoldsOnlyTheKeptDescriptors) {
    int kept[2], dropped[2];
    ASSERT_EQ(pipe(kept), 0);
    ASSERT_EQ(pipe(dropped), 0);
    const int kept_end = kept[1];
    const int dropped_end = dropped[1];
    ASSERT_TRUE(run_detached({kept_end}, [kept_end, dropped_end] {
        const char report[3] = {fcntl(kept_end, F_GETFD) >= 0 ? 'k' : '-',
                                fcntl(dropped_end, F_GETFD) >= 0 ? 'd' : '-',
                                fcntl(STDOUT_FILENO, F_GETFD) >= 0 ? 'o' : '-'};
        (void)!write(kept_end, report, sizeof report);
    }));
    close(kept[1]);
    close(dropped[1]);
    // Both read ends see their end of file once the detached process has gone:
    // it holds no other write end.
    char got[4] = {};
    ssize_t n = 0;
    for (ssize_t r; (r = read(kept[0], got + n, sizeof got - 1 - static_cast<size_t>(n))) > 0;)
        n += r;
    EXPECT_STREQ(got, "k--");
    char byte;
    EXPECT_EQ(read(dropped[0], &byte, 1), 0);
    close(kept[0]);
    close(dropped[0]);
    pid_t pid = -1;
    int code = -1, status = -1;
    EXPECT_EQ(wait_for_child(pid, code, status), -1);  // nothing left to reap
}

TEST(WaitForChildOrInput, ComesBackWhenTheTimeIsUp) {
    const pid_t child = fork();
    if (child == 0) {
        pause();
        _exit(0);
    }
    pid_t pid = -1;
    int code = -1, status = -1;
    EXPECT_EQ(wait_for_child_or_input(-1, -1, pid, code, status, 50), wait_timed_out);
    kill(child, SIGKILL);
    EXPECT_EQ(wait_for_child_or_input(-1, -1, pid, code, status, 5000), 1);
    EXPECT_EQ(pid, child);
    EXPECT_EQ(code, child_killed);
}

TEST(LockFiles, SharedLocksAreGrantedTogether) {
    scratch_directory scratch;
    lock_holder holder(false);
    int fd = open_locked_shared(AT_FDCWD, "lock");
    EXPECT_GE(fd, 0);
    EXPECT_FALSE(holder.has_released());
    holder.let_go();
    EXPECT_EQ(holder.reap(), 0);
    close_fd(fd);
}

TEST(LockFiles, AConflictingLockWaitsForTheRelease) {
    const struct {
        bool held_exclusive;
        bool want_exclusive;
    } cases[] = {{true, false}, {true, true}, {false, true}};
    for (const auto& c : cases) {
        scratch_directory scratch;
        lock_holder holder(c.held_exclusive);
        holder.let_go();
        int fd = c.want_exclusive ? open_locked_exclusive(AT_FDCWD, "lock")
                                  : open_locked_shared(AT_FDCWD, "lock");
        EXPECT_GE(fd, 0);
        EXPECT_TRUE(holder.has_released())
            << "held exclusive " << c.held_exclusive << ", wanted exclusive " << c.want_exclusive;
        EXPECT_EQ(holder.reap(), 0);
        close_fd(fd);
    }
}

TEST(LockFiles, NewLockFileIsPrivateAppendOnlyAndNotInherited) {
    scratch_directory scratch;
    ASSERT_EQ(mkdir("db", 0777), 0);
    int dir = open("db", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    mode_t saved = umask(022);
    int fd = open_locked_exclusive(dir, "t.lock");
    umask(saved);
    ASSERT_GE(fd, 0);
    struct stat status;
    ASSERT_EQ(stat("db/t.lock", &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(status.st_size, 0);
    int flags = fcntl(fd, F_GETFL);
    EXPECT_EQ(flags & O_ACCMODE, O_WRONLY);
    EXPECT_NE(flags & O_APPEND, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    close(fd);
    close(dir);
}

TEST(LockFiles, MissingDirectoryFailsWithTheSystemsError) {
    scratch_directory scratch;
    errno = 0;
    EXPECT_EQ(open_locked_shared(AT_FDCWD, "no/such/lock"), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(Descriptors, ReplaceClosesWhatIsHeld) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int held = fds[0];
    replace_fd(held, -1);
    EXPECT_EQ(held, -1);
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);  // closed
    replace_fd(held, fds[1]);               // nothing to close first
    EXPECT_EQ(held, fds[1]);
    EXPECT_NE(fcntl(fds[1], F_GETFD), -1);
    EXPECT_EQ(close_fd(-1), 0);
    EXPECT_EQ(close_fd(held), 0);
    EXPECT_EQ(held, fds[1]);
    EXPECT_EQ(fcntl(fds[1], F_GETFD), -1);
}

}  // namespace
}  // namespace ombu
