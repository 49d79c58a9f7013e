// Interrupted builds: a signal stops a build cleanly and is passed on; a kill
// at any instant, even between the steps of a commit, leaves nothing that a
// later build takes for up to date; records written by a killed build's
// leftover processes are never committed.
#include <gtest/gtest.h>

#include <string>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// SIGINT, SIGTERM and SIGHUP of the build alone: no further script starts, the
// running one gets the signal, its output and pending prerequisites file go,
// and the build dies by the same signal.
TEST(Interruption, ASignalStopsTheBuildAndIsPassedOn) {
    const struct {
        const char* name;
        int number;
    } signals[] = {{"INT", 2}, {"TERM", 15}, {"HUP", 1}};
    for (const auto& signal : signals) {
        SCOPED_TRACE(signal.name);
        temp_dir dir;
        write_file(dir / "t.do",
                   "#!/bin/sh\ntrap 'echo $1 > got; kill $! 2>/dev/null; exit 1' " +
                       std::string(signal.name) +
                       "\nombu-ifchange t.src\necho partial > $3\n"
                       "sleep 30 >/dev/null 2>&1 &\ntouch started\nwait\n",
                   0755);
        write_file(dir / "t.src", "");
        write_file(dir / "u.do", "#!/bin/sh\necho u > $3\n", 0755);
        // A shell's background job ignores SIGINT; env gives the build back the
        // default action, which it then catches.
        run_result r = guarded("(exec env --default-signal=INT ombu t u 2>build.err) & build=$!; " +
                                   wait_for("started") + "kill -" + signal.name +
                                   " $build; wait $build; echo $?",
                               dir.path());
        EXPECT_EQ(r.out, std::to_string(128 + signal.number) + "\n")
            << read_file(dir / "build.err");
        EXPECT_EQ(read_file(dir / "got"), "t\n");
        EXPECT_FALSE(exists(dir / "t.doing"));
        EXPECT_FALSE(exists(dir / ".ombu/t.prereqs.build"));
        EXPECT_FALSE(exists(dir / "u")) << "a script started after the signal";
        EXPECT_EQ(read_file(dir / "build.err"), "ombu: ERROR: t: Not done.\n");
    }
}

// The build alone is killed while its script runs; the script's processes live
// on and one of them records a prerequisite late. The next build of the target
// commits its own records only.
TEST(Interruption, RecordsOfAKilledBuildsLeftoversAreNeverCommitted) {
    temp_dir dir;
    write_file(dir / "t.do",
               "#!/bin/sh -e\n"
               "if [ ! -e again ]; then\n"
               "    (sleep 2; ombu-ifchange late.src; touch late.done) &\n"
               "    touch started; sleep 4\n"
               "fi\n"
               "ombu-ifchange t.src\necho t > $3\n",
               0755);
    write_file(dir / "t.src", "");
    write_file(dir / "late.src", "");
    run_result r = guarded("ombu t 2>/dev/null & build=$!; " + wait_for("started") +
                               "kill -KILL $build; touch again; ombu t; " + wait_for("late.done") +
                               "sleep 3",  // the first script's own end
                           dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(exists(dir / "late.done"));
    const std::string records = read_file(dir / ".ombu/t.prereqs");
    EXPECT_TRUE(contains(records, " t.src\n")) << records;
    EXPECT_FALSE(contains(records, "late.src")) << records;
}

// A kill between the steps of a commit: strace holds the build in one of its
// renames while it is killed. Whatever the instant, the next build brings the
// target up to date from its present source.
TEST(Interruption, AKillInTheMiddleOfACommitLeavesNoStaleTarget) {
    temp_dir probe;
    if (run_shell("strace -o /dev/null true", probe.path()).status != 0) {
        GTEST_SKIP() << "strace is missing or cannot trace here";
    }
    for (const char* rename : {"1", "2"}) {
        SCOPED_TRACE(rename);
        temp_dir dir;
        write_file(dir / "all.do", "#!/bin/sh -e\nombu-ifchange t\n", 0755);
        write_file(dir / "t.do", "#!/bin/sh -e\nombu-ifchange t.src\ncat t.src > $3\n", 0755);
        write_file(dir / "t.src", "old\n");
        ASSERT_EQ(run_shell("timeout 60 ombu all", dir.path()).status, 0);
        write_file(dir / "t.src", "new\n");
        // The rename is delayed by 3 s on entry, and the build killed within.
        run_result killed = guarded(
            std::string("strace -o /dev/null -e inject=rename:delay_enter=3000000:when=") + rename +
                " ombu all 2>/dev/null & build=$!; sleep 1.5; kill -KILL $build; wait",
            dir.path());
        ASSERT_EQ(killed.status, 0) << killed.err;
        run_result next = run_shell("timeout 60 ombu all", dir.path());
        EXPECT_EQ(next.status, 0) << next.err;
        EXPECT_EQ(read_file(dir / "t"), "new\n");
        EXPECT_EQ(run_shell("timeout 60 ombu-ifchange t", dir.path()).err,
                  "ombu-ifchange: ERROR: Not invoked within a .do script.\n");
    }
}

// A signal to the top build alone reaches the whole build: the nested builds
// inside its scripts stop too, whatever they were doing (judging, waiting for
// a lock or a slot, running scripts), so no script starts after the signal
// and no process of the build is left two seconds later; the next build
// gives what a clean build gives, and the one after it has nothing to do.
TEST(Interruption, ASignalToTheTopBuildStopsEveryNestedBuild) {
    const struct {
        const char* name;
        int number;
    } signals[] = {{"INT", 2}, {"TERM", 15}, {"HUP", 1}, {"KILL", 9}};
    for (const auto& signal : signals) {
        SCOPED_TRACE(signal.name);
        temp_dir dir;
        // all -> a, b; a and b share c; each leaf logs its start and sleeps.
        write_file(dir / "all.do", "#!/bin/sh -e\nombu-ifchange a b\ncat a b > $3\n", 0755);
        write_file(dir / "a.do", "#!/bin/sh -e\nombu-ifchange c a1 a2 a3\ncat c a1 a2 a3 > $3\n",
                   0755);
        write_file(dir / "b.do", "#!/bin/sh -e\nombu-ifchange c b1 b2 b3\ncat c b1 b2 b3 > $3\n",
                   0755);
        write_file(dir / "default.do",
                   "#!/bin/sh -e\necho \"start $1\" >> work.log\ntouch started\nsleep 0.4\n"
                   "echo $1 > $3\n",
                   0755);
        // The build in a session of its own, so that what is left of it can
        // be counted; env gives it back the SIGINT that a background job ignores.
        const std::string count_left =
            "ps -e -o sid=,stat= | awk -v s=$build '$1 == s && $2 !~ /^Z/' | wc -l";
        run_result r = guarded(
            "setsid env --default-signal=INT ombu -j3 all >/dev/null 2>build.err & build=$!; " +
                wait_for("started") + "sleep 0.3; kill -" + signal.name +
                " $build; wait $build; echo status $?; sleep 0.3; wc -l < work.log > "
                "log.at.signal; sleep 1.7; echo left $(" +
                count_left + "); wc -l < work.log > log.later",
            dir.path());
        EXPECT_EQ(r.out, "status " + std::to_string(128 + signal.number) + "\nleft 0\n")
            << read_file(dir / "build.err");
        EXPECT_EQ(read_file(dir / "log.at.signal"), read_file(dir / "log.later"))
            << read_file(dir / "work.log");

        run_result next = run_shell("timeout 60 ombu -j3 all", dir.path());
        EXPECT_EQ(next.status, 0) << next.err;
        EXPECT_EQ(read_file(dir / "all"), "c\na1\na2\na3\nc\nb1\nb2\nb3\n");
        run_result again = run_shell("timeout 60 ombu-ifchange all", dir.path());
        EXPECT_EQ(again.err, "ombu-ifchange: ERROR: Not invoked within a .do script.\n");
    }
}

}  // namespace
}  // namespace ombu_test
