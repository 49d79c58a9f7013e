#include "locking/held_locks.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "base/process.hpp"
#include "fingerprint/fingerprint.hpp"
#include "jobserver/jobserver.hpp"
#include "locking/lock_wait.hpp"
#include "support/scratch.hpp"

namespace ombu {
namespace {

using ombu_unit::put_file;
using ombu_unit::scratch_directory;

file_identity identity_of_path(const std::string& path) {
    const int fd = open_lock_file(AT_FDCWD, path.c_str());
    file_identity id;
    EXPECT_TRUE(identity_of(fd, id)) << path;
    close(fd);
    return id;
}

// A child process that does what `set_up` does (true when it succeeded), then
// waits to be killed, holding whatever it opened.
pid_t run_elsewhere(const std::function<bool()>& set_up) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        (void)!write(ready[1], set_up() ? "y" : "n", 1);
        pause();
        _exit(0);
    }
    char answer = 0;
    EXPECT_EQ(read(ready[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'y');
    close(ready[0]);
    close(ready[1]);
    return pid;
}

// A child process that holds an exclusive lock on path until it is killed.
pid_t hold_lock_elsewhere(const std::string& path) {
    return run_elsewhere([&path] { return open_locked_exclusive(AT_FDCWD, path.c_str()) >= 0; });
}

// A child process that kills the holder after a moment, releasing its lock.
pid_t release_later(pid_t holder) {
    const pid_t pid = fork();
    if (pid == 0) {
        usleep(100000);
        kill(holder, SIGKILL);
        _exit(0);
    }
    return pid;
}

void end(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

class HeldLocks : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(mkdir(".ombu", 0777), 0); }
    void TearDown() override {
        clear_held_locks();
        unsetenv(held_locks_variable);
    }
    scratch_directory scratch_;
};

TEST_F(HeldLocks, TheEntryHandsEveryHeldLockToTheNextBuild) {
    // Paths with white space and "%" survive the one-line entry.
    const std::string judged = ".ombu/a b%20.prereqs.lock";
    const std::string job = ".ombu/job\tx.prereqs.lock";
    const file_identity judged_id = identity_of_path(judged);
    const file_identity job_id = identity_of_path(job);
    const file_identity other_id = identity_of_path(".ombu/other.prereqs.lock");

    push_judged_lock(judged_id, judged);
    const std::string entry = held_locks_entry(job_id, job);
    EXPECT_EQ(entry.find('\t'), std::string::npos) << entry;
    EXPECT_EQ(entry.find(" b"), std::string::npos) << entry;
    clear_held_locks();
    EXPECT_FALSE(held_upstream(judged_id));

    ASSERT_EQ(entry.rfind("OMBULOCKS=", 0), 0u);
    setenv(held_locks_variable, entry.c_str() + 10, 1);
    load_ancestor_locks();
    // The ancestors hold them: the judging shared, the job exclusive.
    const int judged_fd = open_locked_shared(AT_FDCWD, judged.c_str());
    const int job_fd = open_locked_exclusive(AT_FDCWD, job.c_str());
    EXPECT_TRUE(held_upstream(judged_id));
    EXPECT_TRUE(held_upstream(job_id));
    EXPECT_FALSE(held_upstream(other_id));
    // The next generation's entry carries the same paths on.
    EXPECT_EQ(held_locks_entry(other_id, ".ombu/other.prereqs.lock").find(entry.substr(10)), 10u);
    // Once the ancestors have let go (a process left running by a script
    // outlives the build), their locks count for nothing.
    close(job_fd);
    EXPECT_FALSE(held_upstream(job_id));
    EXPECT_TRUE(held_upstream(judged_id));
    close(judged_fd);
    EXPECT_FALSE(held_upstream(judged_id));
}

TEST_F(HeldLocks, MalformedEntriesAreSkipped) {
    const std::string path = scratch_.path() + "/.ombu/ok.prereqs.lock";
    const file_identity id = identity_of_path(path);
    const int held = open_locked_exclusive(AT_FDCWD, path.c_str());
    const std::string good =
        std::to_string(id.device) + ":" + std::to_string(id.inode) + ":" + path;
    setenv(held_locks_variable, (" x:1:/p 5:6 " + good + " :: 9:").c_str(), 1);
    load_ancestor_locks();
    EXPECT_TRUE(held_upstream(id));
    EXPECT_FALSE(held_upstream({5, 6}));
    close(held);
}

// A child process that waits, as a build does, under a note naming wanted in
// directory: it holds the note locked until it is killed.
pid_t note_elsewhere(const std::string& directory, const std::string& wanted) {
    return run_elsewhere([&] {
        mkdir(directory.c_str(), 0777);
        const std::string note = directory + "/" + std::to_string(getpid());
        const int fd = open(note.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
        return fd >= 0 && lock_whole_file(fd, true) &&
               write(fd, wanted.data(), wanted.size()) == static_cast<ssize_t>(wanted.size());
    });
}

TEST_F(HeldLocks, WaitsForALockAndTakesItWhenReleased) {
    const std::string path = ".ombu/t.prereqs.lock";
    push_judged_lock(identity_of_path(".ombu/u.prereqs.lock"), ".ombu/u.prereqs.lock");
    const pid_t holder = hold_lock_elsewhere(path);
    const pid_t releaser = release_later(holder);
    const int fd = open_lock_file(AT_FDCWD, path.c_str());
    EXPECT_EQ(acquire_lock(fd, path, true, "ombu"), lock_wait::locked);
    close(fd);
    waitpid(releaser, nullptr, 0);
    waitpid(holder, nullptr, 0);
    // The note left while waiting is gone.
    EXPECT_NE(access(".ombu/u.prereqs.lock.waits", F_OK), 0);
}

// What the holder of a lock did before letting it go comes before whatever
// the waiting process looks at next: no fingerprint taken before the wait
// answers after it.
TEST_F(HeldLocks, AfterAWaitNoEarlierFingerprintAnswers) {
    const std::string path = ".ombu/t.prereqs.lock";
    put_file("n", "old\n");
    process_fingerprints().forget("n");
    const digest before = process_fingerprints().lookup("n").hash;
    const pid_t holder = hold_lock_elsewhere(path);
    const pid_t releaser = fork();
    if (releaser == 0) {
        usleep(100000);
        put_file("n", "new\n");
        kill(holder, SIGKILL);
        _exit(0);
    }
    const int fd = open_lock_file(AT_FDCWD, path.c_str());
    EXPECT_EQ(acquire_lock(fd, path, true, "ombu"), lock_wait::locked);
    close(fd);
    waitpid(releaser, nullptr, 0);
    waitpid(holder, nullptr, 0);
    const digest after = process_fingerprints().lookup("n").hash;
    EXPECT_NE(after, before);
    EXPECT_EQ(after, make_fingerprint("n").hash);
    process_fingerprints().forget("n");
}

TEST_F(HeldLocks, AWaitThatLeadsBackUpstreamIsACycle) {
    // This process runs under u's lock and wants t's; t's holder runs a
    // process that waits, under t, for u. The path of u may hold any byte.
    for (const std::string upstream : {".ombu/u.prereqs.lock", ".ombu/u\nv.prereqs.lock"}) {
        SCOPED_TRACE(upstream);
        const std::string wanted = ".ombu/t.prereqs.lock";
        const std::string notes = wanted + ".waits";
        clear_held_locks();
        push_judged_lock(identity_of_path(upstream), upstream);
        const pid_t holder = hold_lock_elsewhere(wanted);
        const pid_t waiter = note_elsewhere(notes, scratch_.path() + "/" + upstream);

        const int fd = open_lock_file(AT_FDCWD, wanted.c_str());
        EXPECT_EQ(acquire_lock(fd, wanted, false, "ombu"), lock_wait::cycle);
        // Once the waiter has gone (killed, say), its note counts for nothing,
        // even when its process id is taken again, and it is removed.
        end(waiter);
        const pid_t releaser = release_later(holder);
        EXPECT_EQ(acquire_lock(fd, wanted, false, "ombu"), lock_wait::locked);
        EXPECT_NE(access((notes + "/" + std::to_string(waiter)).c_str(), F_OK), 0);
        close(fd);
        waitpid(releaser, nullptr, 0);
        waitpid(holder, nullptr, 0);
    }
}

// While it waits for a lock, a process gives its job slot back: with no token in
// the pipe, the holder's releaser can take one, and gives it back.
TEST_F(HeldLocks, AWaitLendsTheJobSlot) {
    const std::string path = ".ombu/t.prereqs.lock";
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    jobserver_fds[0] = pipe_fds[0];
    jobserver_fds[1] = pipe_fds[1];
    const pid_t holder = hold_lock_elsewhere(path);
    const pid_t releaser = fork();
    if (releaser == 0) {
        pollfd query = {pipe_fds[0], POLLIN, 0};
        char token = 0;
        const bool lent = poll(&query, 1, 30000) == 1 && read(pipe_fds[0], &token, 1) == 1;
        kill(holder, SIGKILL);
        usleep(100000);
        (void)!write(pipe_fds[1], &token, 1);
        _exit(lent ? 0 : 1);
    }
    const int fd = open_lock_file(AT_FDCWD, path.c_str());
    EXPECT_EQ(acquire_lock(fd, path, true, "ombu"), lock_wait::locked);
    close(fd);
    int status = -1;
    waitpid(releaser, &status, 0);
    EXPECT_EQ(status, 0) << "no slot was lent";
    waitpid(holder, nullptr, 0);
    // The slot was taken back: the pipe is empty again.
    pollfd query = {pipe_fds[0], POLLIN, 0};
    EXPECT_EQ(poll(&query, 1, 0), 0);
    jobserver_fds[0] = jobserver_fds[1] = -1;
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

}  // namespace
}  // namespace ombu
