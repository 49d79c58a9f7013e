// Stopping a build: after the signal nothing starts anywhere in the tree, even
// under a script that traps the signal and goes on; every job slot comes back
// exactly, also those given back by nested builds waiting for a lock; and the
// end-of-build count waits for the members of the build that still stop.
#include <gtest/gtest.h>

#include <string>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A script that traps the signal and goes on runs its next command, a nested
// build, after the build was told to stop: that build starts nothing.
TEST(Stop, ANestedBuildStartedAfterTheSignalStartsNothing) {
    for (const char* signal : {"INT", "TERM"}) {
        SCOPED_TRACE(signal);
        temp_dir dir;
        write_file(dir / "all.do",
                   "#!/bin/sh\n"
                   "trap 'echo trapped > trapped' INT TERM\n"
                   "touch started; sleep 1\n"
                   "ombu-ifchange x; echo \"nested $?\" > nested.status\n"
                   "cat x > \"$3\"\n",
                   0755);
        write_file(dir / "x.do", "#!/bin/sh\nombu-ifchange y1 y2\ncat y1 y2 > \"$3\"\n", 0755);
        write_file(dir / "default.do", "#!/bin/sh\necho \"$1\" >> work.log\necho \"$1\" > \"$3\"\n",
                   0755);
        run_result r =
            guarded("setsid env --default-signal=INT ombu -j2 all 2>build.err & b=$!; " +
                        wait_for("started") + "kill -" + signal + " $b; wait $b; echo status $?",
                    dir.path());
        EXPECT_TRUE(contains(r.out, "status 1")) << r.out;  // 130 or 143
        EXPECT_EQ(read_file(dir / "trapped"), "trapped\n");
        // The nested build died by the signal the stop stands for, SIGTERM.
        EXPECT_EQ(read_file(dir / "nested.status"), "nested 143\n");
        EXPECT_FALSE(exists(dir / "work.log")) << read_file(dir / "work.log");
        EXPECT_FALSE(exists(dir / "x"));
        EXPECT_FALSE(contains(read_file(dir / "build.err"), "Job server"))
            << read_file(dir / "build.err");
    }
}

// Nested builds waiting for a lock held by another build give their slots
// back; the loop above runs further jobs in them. Ctrl-C (SIGINT to the
// whole group) then stops everything at once, and the pipe ends holding
// exactly the tokens it was made with, at -j1 and -j2.
TEST(Stop, SlotsGivenBackDuringALockWaitComeBackExactly) {
    for (const char* jobs : {"-j1", "-j2"}) {
        SCOPED_TRACE(jobs);
        temp_dir dir;
        write_file(dir / "all.do", "#!/bin/sh\nombu-ifchange a b d\necho all > \"$3\"\n", 0755);
        write_file(dir / "c.do", "#!/bin/sh\ntouch c.started\nsleep 20\necho c > \"$3\"\n", 0755);
        for (const char* t : {"a", "b", "d"}) {
            write_file(dir / (std::string(t) + ".do"),
                       std::string("#!/bin/sh\ntouch ") + t + ".waits\nombu-ifchange c\necho " + t +
                           " > \"$3\"\n",
                       0755);
        }
        // Another build holds c's lock; the interrupted build waits for it.
        run_result r = guarded(
            "setsid ombu c 2>/dev/null & other=$!; " + wait_for("c.started") +
                "setsid env --default-signal=INT ombu " + jobs + " all 2>build.err & b=$!; " +
                wait_for("a.waits") + (std::string(jobs) == "-j1" ? "" : wait_for("b.waits")) +
                "sleep 0.5; kill -INT -$b; wait $b; echo status $?; kill -TERM -$other; "
                "wait $other",
            dir.path());
        EXPECT_EQ(r.out, "status 130\n");
        EXPECT_FALSE(contains(read_file(dir / "build.err"), "Job server"))
            << read_file(dir / "build.err");
        EXPECT_FALSE(exists(dir / "all"));
    }
}

// The same with the tokens held long: a's nested build waits for c's lock
// (b's nested build holds it) and gives its slot back, which all's nested
// build takes to run d. Stopped, c and d take over a second to clean up
// (they trap the signal), so no token comes back while a stops: the slot is
// taken back later, and the pipe still ends holding exactly its one token.
TEST(Stop, ASlotGivenBackIsTakenBackAfterTheWaitersEnd) {
    temp_dir dir;
    write_file(dir / "all.do", "#!/bin/sh\nombu-ifchange a b d\necho all > \"$3\"\n", 0755);
    write_file(dir / "a.do", "#!/bin/sh\nsleep 0.3\nombu-ifchange c\necho a > \"$3\"\n", 0755);
    write_file(dir / "b.do", "#!/bin/sh\ntrap 'exit 1' TERM\nombu-ifchange c\necho b > \"$3\"\n",
               0755);
    for (const char* t : {"c", "d"}) {
        write_file(dir / (std::string(t) + ".do"),
                   "#!/bin/sh\ntrap 'sleep 1.3; exit 1' INT TERM\ntouch " + std::string(t) +
                       ".started\nsleep 10 & wait $!\necho " + t + " > \"$3\"\n",
                   0755);
    }
    run_result r =
        guarded("env --default-signal=INT ombu -j2 all 2>build.err & b=$!; " +
                    wait_for("c.started") + wait_for("d.started") +
                    "sleep 0.3; kill -INT $b; wait $b; echo status $?; pkill -f 'sleep 10'",
                dir.path());
    EXPECT_EQ(r.out, "status 130\n");
    EXPECT_FALSE(contains(read_file(dir / "build.err"), "Job server"))
        << read_file(dir / "build.err");
}

// A script killed with SIGKILL leaves its nested build running; that build
// sees the top build end, stops its own scripts (which take a moment to go)
// and gives their tokens back. The top build's count waits for it rather than
// warn of tokens that are not lost.
TEST(Stop, TheEndCountWaitsForNestedBuildsThatStillStop) {
    temp_dir dir;
    write_file(dir / "all.do",
               "#!/bin/sh\necho $$ > all.pid\nombu-ifchange a b c\necho all > \"$3\"\n", 0755);
    write_file(dir / "default.do",
               "#!/bin/sh\ntrap 'sleep 0.5; exit 1' TERM\ntouch \"$1.started\"\n"
               "sleep 5 & wait $!\necho \"$1\" > \"$3\"\n",
               0755);
    run_result r = guarded("ombu -j4 all 2>build.err & b=$!; " + wait_for("a.started") +
                               wait_for("b.started") + wait_for("c.started") +
                               "kill -KILL $(cat all.pid); wait $b; echo status $?",
                           dir.path());
    EXPECT_EQ(r.out, "status 1\n");
    EXPECT_FALSE(contains(read_file(dir / "build.err"), "Job server"))
        << read_file(dir / "build.err");
}

}  // namespace
}  // namespace ombu_test
