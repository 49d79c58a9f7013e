// Builds that wait for one another's locks: a cycle through scripts running
// side by side is reported, and waiting never stops a build from reaping its
// own scripts.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(LockWait, CycleBetweenScriptsRunningSideBySideIsReported) {
    // The project's path may hold a line feed: the notes carry it whole.
    for (const std::string project : {"p", "p\nq"}) {
        temp_dir top;
        const std::string dir = top / project;
        write_file(dir + "/a.do", "#!/bin/sh -e\nombu-ifchange b\necho a > \"$3\"\n", 0755);
        write_file(dir + "/b.do", "#!/bin/sh -e\nombu-ifchange a\necho b > \"$3\"\n", 0755);
        // First build: each script's nested build waits for the other's target.
        // Second build: both exist, and each nested build first reads the other.
        for (int round = 0; round < 2; ++round) {
            run_result r = run_shell("timeout 60 ombu -j2 a b", dir);
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_TRUE(contains(r.err, ": Dependency cycle detected.\n")) << r.err;
            EXPECT_TRUE(contains(r.err, ": Not done.\n")) << r.err;
            // Plant the targets for the second round.
            write_file(dir + "/a", "a\n");
            write_file(dir + "/b", "b\n");
        }
        // The notes left while waiting are gone.
        run_result left = run_shell("ls -a .ombu | grep -c waits", dir);
        EXPECT_EQ(left.out, "0\n");
    }
}

// A launch that fails lets go of its lock at once. Kept, it closed a wait
// that no note showed: `ombu x y` held x (no script) and waited for y, whose
// script, in the other build, waited for x.
TEST(LockWait, AFailedLaunchHoldsNoLockThatOthersWaitFor) {
    temp_dir dir;
    write_file(dir / "y.do", "#!/bin/sh -e\nsleep 1\nombu-ifchange x\necho y > \"$3\"\n", 0755);
    run_result r = run_shell(
        "mkdir .ombu; timeout 60 ombu y 2>first.err & sleep 0.3; timeout 60 ombu x y; "
        "echo \"second $?\"; wait $!; echo \"first $?\"",
        dir.path());
    EXPECT_EQ(r.out, "second 1\nfirst 1\n") << r.err;
    EXPECT_TRUE(contains(r.err, "x: Cannot find .do file to use.\n")) << r.err;
}

// A process left running by a script may start a build once the build that
// ran the script has ended: the locks handed down to it are no longer held,
// so they are no cycle.
TEST(LockWait, LocksHandedDownCountOnlyWhileHeld) {
    temp_dir dir;
    write_file(dir / "w.do",
               "#!/bin/sh -e\n"
               "if [ ! -e again ]; then\n"
               "    touch again\n"
               "    (sleep 1; ombu w 2>bg.err >/dev/null; echo $? > bg.status.new;"
               " mv bg.status.new bg.status) &\n"
               "fi\n"
               "echo w > \"$3\"\n",
               0755);
    ASSERT_EQ(run_shell("timeout 60 ombu w", dir.path()).status, 0);
    run_result r = run_shell(
        "for i in $(seq 200); do [ -e bg.status ] && break; sleep 0.1; done;"
        " cat bg.status",
        dir.path());
    EXPECT_EQ(r.out, "0\n") << read_file(dir / "bg.err");
    EXPECT_FALSE(contains(read_file(dir / "bg.err"), "cycle"));
}

// A script whose nested build waits for a lock gives its job slot to the
// others meanwhile: prog waits for lib, which lib's four parts need, so
// they run two at a time under -j2 rather than one after another.
TEST(LockWait, AWaitForALockLendsItsJobSlot) {
    temp_dir dir;
    write_file(dir / "all.do", "#!/bin/sh -e\nombu-ifchange lib prog\n", 0755);
    write_file(dir / "prog.do", "#!/bin/sh -e\nombu-ifchange lib\necho prog > \"$3\"\n", 0755);
    write_file(dir / "lib.do", "#!/bin/sh -e\nombu-ifchange p1 p2 p3 p4\necho lib > \"$3\"\n",
               0755);
    write_file(
        dir / "default.do",
        "#!/bin/sh -e\necho \"start $1\" >> work.log\nsleep 1\necho \"end $1\" >> work.log\n",
        0755);
    run_result r = run_shell("timeout 60 ombu -j2 all", dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string log = read_file(dir / "work.log");
    EXPECT_EQ(most_at_once(log), 2) << log;
}

TEST(LockWait, ABuildWithScriptsRunningNeverWaitsForALock) {
    // prog needs lib, lib needs util. ombu starts prog, util and many quick
    // targets before lib; by then prog's nested build holds lib, whose script
    // waits for util, which only this build can finish.
    temp_dir dir;
    write_file(dir / "prog.do", "#!/bin/sh -e\nombu-ifchange lib\necho prog > \"$3\"\n", 0755);
    write_file(dir / "lib.do", "#!/bin/sh -e\nombu-ifchange util\necho lib > \"$3\"\n", 0755);
    write_file(dir / "util.do", "#!/bin/sh -e\nsleep 1\necho util > \"$3\"\n", 0755);
    write_file(dir / "default.do", "#!/bin/sh -e\necho \"$1\" > \"$3\"\n", 0755);
    std::string names = "prog util";
    for (int i = 0; i < 40; ++i) names += " f" + std::to_string(i);
    run_result r = run_shell("timeout 60 ombu -j50 " + names + " lib", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(contains(r.err, "ERROR")) << r.err;
    EXPECT_EQ(read_file(dir / "prog"), "prog\n");
    EXPECT_EQ(read_file(dir / "lib"), "lib\n");
}

// The first job meets a lock that another build holds: the jobs after it,
// which need nothing of it, run meanwhile in the free slots, and the put-off
// job is offered again once the lock is free (here: rebuilt by the other
// build since it was judged, so not run again).
TEST(LockWait, OtherJobsRunWhileOneWaitsForAnotherBuildsLock) {
    temp_dir dir;
    write_file(dir / "all.do", "#!/bin/sh -e\nombu-ifchange a b c d\necho all > \"$3\"\n", 0755);
    write_file(
        dir / "a.do",
        "#!/bin/sh -e\ntouch a.started\nsleep 2\necho 'a end' >> work.log\necho a > \"$3\"\n",
        0755);
    write_file(dir / "default.do", "#!/bin/sh -e\necho \"$1 end\" >> work.log\necho $1 > \"$3\"\n",
               0755);
    run_result r = run_shell(
        "ombu a 2>/dev/null & other=$!; "
        "for i in $(seq 200); do [ -e a.started ] && break; sleep 0.1; done; "
        "timeout 60 ombu -j4 all; echo status $?; wait $other",
        dir.path());
    EXPECT_EQ(r.out, "status 0\n") << r.err;
    const std::string log = read_file(dir / "work.log");
    // b, c and d ended before the other build let go of a; a ran once.
    EXPECT_EQ(log.substr(log.size() - 6), "a end\n") << log;
    EXPECT_EQ(log.size(), std::string("b end\nc end\nd end\na end\n").size()) << log;
    std::vector<std::string> rebuilt = rebuilt_targets(r.err);
    std::sort(rebuilt.begin(), rebuilt.end());
    EXPECT_EQ(rebuilt, (std::vector<std::string>{"all", "b", "c", "d"})) << r.err;
}

}  // namespace
}  // namespace ombu_test
