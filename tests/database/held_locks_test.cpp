#include "database/held_locks.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/process.hpp"
#include "database/lock_wait.hpp"
#include "support/scratch.hpp"

namespace ombu {
namespace {

using ombu_unit::put_file;
using ombu_unit::scratch_directory;

lock_identity identity_of_path(const std::string& path) {
    const int fd = open_lock_file(AT_FDCWD, path.c_str());
    lock_identity id;
    EXPECT_TRUE(identity_of(fd, id)) << path;
    close(fd);
    return id;
}

// A child process that holds an exclusive lock on path until it is killed.
pid_t hold_lock_elsewhere(const std::string& path) {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open_locked_exclusive(AT_FDCWD, path.c_str());
        (void)!write(ready[1], fd >= 0 ? "y" : "n", 1);
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
    const lock_identity judged_id = identity_of_path(judged);
    const lock_identity job_id = identity_of_path(job);
    const lock_identity other_id = identity_of_path(".ombu/other.prereqs.lock");

    push_judged_lock(judged_id, judged);
    const std::string entry = held_locks_entry(job_id, job);
    EXPECT_EQ(entry.find('\t'), std::string::npos) << entry;
    EXPECT_EQ(entry.find(" b"), std::string::npos) << entry;
    clear_held_locks();
    EXPECT_FALSE(held_upstream(judged_id));

    ASSERT_EQ(entry.rfind("OMBULOCKS=", 0), 0u);
    setenv(held_locks_variable, entry.c_str() + 10, 1);
    load_ancestor_locks();
    EXPECT_TRUE(held_upstream(judged_id));
    EXPECT_TRUE(held_upstream(job_id));
    EXPECT_FALSE(held_upstream(other_id));
    // The next generation's entry carries the same paths on.
    EXPECT_EQ(held_locks_entry(other_id, ".ombu/other.prereqs.lock")
                  .find(entry.substr(10)),
              10u);
}

TEST_F(HeldLocks, MalformedEntriesAreSkipped) {
    setenv(held_locks_variable, " x:1:/p 5:6 7:8:/ok :: 9:", 1);
    load_ancestor_locks();
    EXPECT_TRUE(held_upstream({7, 8}));
    EXPECT_FALSE(held_upstream({5, 6}));
}

TEST_F(HeldLocks, WaitsForALockAndTakesItWhenReleased) {
    const std::string path = ".ombu/t.prereqs.lock";
    push_judged_lock(identity_of_path(".ombu/u.prereqs.lock"), ".ombu/u.prereqs.lock");
    const pid_t holder = hold_lock_elsewhere(path);
    const pid_t releaser = release_later(holder);
    const int fd = open_lock_file(AT_FDCWD, path.c_str());
    EXPECT_EQ(acquire_lock(fd, path, true), lock_wait::locked);
    close(fd);
    waitpid(releaser, nullptr, 0);
    waitpid(holder, nullptr, 0);
    // The note left while waiting is gone.
    EXPECT_NE(access(".ombu/u.prereqs.lock.waits", F_OK), 0);
}

TEST_F(HeldLocks, AWaitThatLeadsBackUpstreamIsACycle) {
    // This process runs under u's lock and wants t's; t's holder runs a
    // process that waits, under t, for u.
    const std::string wanted = ".ombu/t.prereqs.lock";
    const std::string upstream = ".ombu/u.prereqs.lock";
    push_judged_lock(identity_of_path(upstream), upstream);
    const pid_t holder = hold_lock_elsewhere(wanted);
    put_file(wanted + ".waits/" + std::to_string(holder), scratch_.path() + "/" + upstream);

    const int fd = open_lock_file(AT_FDCWD, wanted.c_str());
    EXPECT_EQ(acquire_lock(fd, wanted, false), lock_wait::cycle);
    // A note of a process that has ended counts for nothing.
    end(holder);
    const pid_t other_holder = hold_lock_elsewhere(wanted);
    const pid_t releaser = release_later(other_holder);
    put_file(wanted + ".waits/" + std::to_string(holder), scratch_.path() + "/" + upstream);
    EXPECT_EQ(acquire_lock(fd, wanted, false), lock_wait::locked);
    close(fd);
    waitpid(releaser, nullptr, 0);
    waitpid(other_holder, nullptr, 0);
}

}  // namespace
}  // namespace ombu
