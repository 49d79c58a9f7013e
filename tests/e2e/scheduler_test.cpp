// Building trees of targets: what is rebuilt and when, how failures end a
// job, dependency cycles and targets named twice.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

class SchedulerBuild : public ::testing::Test {
protected:
    // A script that appends its target's name to the log, then runs body.
    void script(const std::string& target, const std::string& body) {
        write_file(dir / (target + ".do"), "#!/bin/sh\necho $1 >> log\n" + body, 0755);
    }

    // What the scripts logged since the last call.
    std::string take_log() {
        std::string text = read_file(dir / "log");
        std::remove((dir / "log").c_str());
        return text;
    }

    // ombu with a guard against a build that waits for ever: timeout's 124.
    run_result ombu(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"timeout", "60", "ombu"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, dir.path());
    }

    // ombu-ifchange as a script runs it: its records go to parent.prereqs.
    run_result ifchange(const std::string& args) {
        return run_shell("timeout 60 ombu-ifchange " + args + " 3>>parent.prereqs", dir.path(),
                         {{"OMBUFLAGS", " --ombuparent-fd=3"}});
    }

    // Moves a file's modification time forward, as an edit in a later second would.
    void age_forward(const std::string& name, int seconds) {
        struct stat status;
        ASSERT_EQ(stat((dir / name).c_str(), &status), 0);
        struct timeval times[2] = {{status.st_mtime + seconds, 0}, {status.st_mtime + seconds, 0}};
        ASSERT_EQ(utimes((dir / name).c_str(), times), 0);
    }

    temp_dir dir;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(SchedulerBuild, RebuildsOnlyWhatChanged) {
    script("all", "ombu-ifchange a b || exit 1\ncat a b > $3\n");
    script("a", "ombu-ifchange a.src || exit 1\ncat a.src > $3\n");
    write_file(dir / "a.src", "one\n");
    set_edited_ago(dir / "a.src", 1000);
    write_file(dir / "b", "bee\n");

    run_result r = ombu({"all"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "ombu-ifchange[1]: INFO: a: Ombune.\nombu: INFO: all: Ombune.\n");
    EXPECT_EQ(take_log(), "all\na\n");  // a while all's script runs
    EXPECT_EQ(read_file(dir / "all"), "one\nbee\n");
    EXPECT_FALSE(exists(dir / "all.doing"));

    // Up to date: no script runs, and the names are recorded for the caller.
    r = ifchange("all");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(take_log(), "");
    EXPECT_TRUE(contains(read_file(dir / "parent.prereqs"), " all\n"));

    // ombu rebuilds what it is named, and only that. (a is made older first:
    // a rebuild of it in the second that all recorded would go unnoticed.)
    age_forward("a", -100);
    r = ombu({"all"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(take_log(), "all\n");

    // A later modification time with the same contents rebuilds nothing.
    age_forward("a.src", 10);
    r = ifchange("--verbose all");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(take_log(), "");

    // New contents: a, then all, with the reasons under the verbose flag.
    write_file(dir / "a.src", "two\n");
    set_edited_ago(dir / "a.src", 900);
    r = ifchange("--verbose all");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(take_log(), "a\nall\n");  // a while all is judged
    EXPECT_EQ(read_file(dir / "all"), "two\nbee\n");
    EXPECT_TRUE(contains(r.err,
                         "ombu-ifchange: INFO: a needs rebuilding because a.src has changed "
                         "hash value from "))
        << r.err;
    EXPECT_TRUE(contains(r.err,
                         "ombu-ifchange: INFO: all needs rebuilding because a has changed "
                         "hash value from "))
        << r.err;

    // A deleted target is rebuilt, and the reason says so.
    std::remove((dir / "a").c_str());
    r = ifchange("--verbose a");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(take_log(), "a\n");
    EXPECT_TRUE(contains(r.err,
                         "ombu-ifchange: INFO: a needs rebuilding because it does not "
                         "exist.\n"))
        << r.err;
}

// A prerequisite rebuilt with the very modification time that was recorded
// (as within one second): its contents decide.
TEST_F(SchedulerBuild, ARebuiltPrerequisiteIsJudgedByItsContents) {
    script("all", "ombu-ifchange a || exit 1\ncat a > $3\n");
    script("a", "ombu-ifchange a.src || exit 1\nhead -n 1 a.src > $3\ntouch -d @1000000000 $3\n");
    write_file(dir / "a.src", "one\n");
    set_edited_ago(dir / "a.src", 1000);
    ASSERT_EQ(ombu({"all"}).status, 0);
    take_log();

    write_file(dir / "a.src", "two\n");
    set_edited_ago(dir / "a.src", 900);
    run_result r = ifchange("all");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(take_log(), "a\nall\n");
    EXPECT_EQ(read_file(dir / "all"), "two\n");

    // Rebuilt with the same contents: all stays.
    write_file(dir / "a.src", "two\nlines\n");
    set_edited_ago(dir / "a.src", 800);
    r = ifchange("all");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(take_log(), "a\n");
}

TEST_F(SchedulerBuild, AFailedScriptKeepsTheOldTarget) {
    struct case_t {
        const char* what;
        std::string body;
        unsigned mode;
        std::string message;  // besides "t: Not done."
    } cases[] = {
        {"exit status 2 after half an output", "echo half > $3\nexit 2\n", 0755, ""},
        {"killed by a signal", "echo half > $3\nkill -KILL $$\n", 0755, ""},
        {"a directory as output", "mkdir $3\necho x > $3/x\nexit 1\n", 0755, ""},
        {"not executable", "exit 0\n", 0644, "t.do: Permission denied\n"},
    };
    for (const auto& c : cases) {
        temp_dir fresh;
        write_file(fresh / "t.do", "#!/bin/sh\necho good > $3\n", 0755);
        ASSERT_EQ(run_command("ombu", {"t"}, fresh.path()).status, 0);
        write_file(fresh / "t.do", "#!/bin/sh\n" + c.body, c.mode);
        const run_result r = run_command("ombu", {"t"}, fresh.path());
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_TRUE(contains(r.err, "ombu: ERROR: t: Not done.\n")) << c.what << ": " << r.err;
        EXPECT_TRUE(contains(r.err, c.message)) << c.what << ": " << r.err;
        EXPECT_FALSE(contains(r.err, "Ombune")) << c.what;
        EXPECT_EQ(read_file(fresh / "t"), "good\n") << c.what;
        EXPECT_FALSE(exists(fresh / "t.doing")) << c.what;
        EXPECT_TRUE(exists(fresh / ".ombu/t.prereqs.build")) << c.what;
    }
}

TEST_F(SchedulerBuild, ADirectoryOutputCannotReplaceAFileTarget) {
    script("t", "echo good > $3\n");
    ASSERT_EQ(ombu({"t"}).status, 0);
    script("t", "mkdir $3\necho x > $3/x\nombu-ifchange t.src\n");
    write_file(dir / "t.src", "");
    const run_result r = ombu({"t"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ombu: ERROR: t: Unable to rename target file: Not a directory\n");
    EXPECT_EQ(read_file(dir / "t"), "good\n");
    EXPECT_FALSE(exists(dir / "t.doing"));
    // The old records are gone and the run's are still pending: never new
    // records beside the old target. The next build runs the script again.
    EXPECT_FALSE(exists(dir / ".ombu/t.prereqs"));
    EXPECT_TRUE(contains(read_file(dir / ".ombu/t.prereqs.build"), " t.src\n"));
    script("t", "echo better > $3\n");
    EXPECT_EQ(run_program({"timeout", "60", "ombu-ifchange", "t"}, dir.path()).status,
              1);  // not in a script: not recorded
    EXPECT_EQ(read_file(dir / "t"), "better\n");
}

TEST_F(SchedulerBuild, OtherJobsGoOnAfterAFailure) {
    script("a", "");
    script("bad", "exit 1\n");
    script("c", "");
    for (const char* jobs : {"-j1", "-j3"}) {
        const run_result r = ombu({jobs, "a", "bad", "missing", "c"});
        EXPECT_EQ(r.status, 1) << jobs;
        EXPECT_TRUE(contains(r.err, "ombu: ERROR: bad: Not done.\n")) << r.err;
        EXPECT_TRUE(contains(r.err, "ombu: ERROR: missing: Cannot find .do file to use.\n"))
            << r.err;
        EXPECT_TRUE(contains(r.err, "ombu: INFO: a: Ombune.\n")) << r.err;
        EXPECT_TRUE(contains(r.err, "ombu: INFO: c: Ombune.\n")) << r.err;
        const std::string log = take_log();
        if (std::string(jobs) == "-j1") {
            EXPECT_EQ(log, "a\nbad\nc\n");  // one after another, in list order
        } else {
            EXPECT_EQ(log.size(), 8u) << log;
        }
    }
}

// Started with the child signal ignored, which would have the system reap the
// scripts, a build sets it back and sees how each script ended.
TEST_F(SchedulerBuild, AnIgnoredChildSignalIsSetBack) {
    if (run_shell("command -v perl", dir.path()).status != 0) GTEST_SKIP() << "no perl";
    script("t", "echo t > $3\n");
    script("u", "exit 3\n");
    for (const char* jobs : {"-j1", "-j2"}) {
        const run_result r =
            run_program({"timeout", "60", "perl", "-e", "$SIG{CHLD} = 'IGNORE'; exec @ARGV", "ombu",
                         jobs, "t", "u"},
                        dir.path());
        EXPECT_EQ(r.status, 1) << jobs << r.err;
        // Under -j2 the two lines come in either order.
        EXPECT_EQ(r.err.size(),
                  std::string("ombu: INFO: t: Ombune.\nombu: ERROR: u: Not done.\n").size())
            << jobs << r.err;
        EXPECT_TRUE(contains(r.err, "ombu: INFO: t: Ombune.\n")) << jobs << r.err;
        EXPECT_TRUE(contains(r.err, "ombu: ERROR: u: Not done.\n")) << jobs << r.err;
        EXPECT_EQ(read_file(dir / "t"), "t\n");
    }
}

TEST_F(SchedulerBuild, DependencyCyclesEndTheBuild) {
    struct case_t {
        const char* what;
        std::string a_body;
        std::string b_body;
    } cases[] = {
        {"a needs itself", "ombu-ifchange a || exit 1\n", ""},
        {"a needs b needs a", "ombu-ifchange b || exit 1\n", "ombu-ifchange a || exit 1\n"},
    };
    for (const auto& c : cases) {
        temp_dir fresh;
        write_file(fresh / "a.do", "#!/bin/sh\n" + c.a_body, 0755);
        write_file(fresh / "b.do", "#!/bin/sh\n" + c.b_body, 0755);
        const run_result r = run_program({"timeout", "60", "ombu", "a"}, fresh.path());
        EXPECT_EQ(r.status, 1) << c.what << ": " << r.err;
        EXPECT_TRUE(contains(r.err, ": ERROR: a: Dependency cycle detected.\n")) << c.what << r.err;
        EXPECT_TRUE(contains(r.err, "ombu: ERROR: a: Not done.\n")) << c.what << r.err;
        EXPECT_FALSE(exists(fresh / "a")) << c.what;
    }
}

TEST_F(SchedulerBuild, ACycleMadeAfterTheFirstBuildIsFoundOnRebuild) {
    script("a", "ombu-ifchange b || exit 1\ncat b > $3\n");
    script("b", "echo b > $3\n");
    ASSERT_EQ(ombu({"a"}).status, 0);
    EXPECT_EQ(take_log(), "a\nb\n");

    script("b", "ombu-ifchange a || exit 1\necho b > $3\n");
    age_forward("b.do", 10);
    for (bool always : {true, false}) {
        const run_result r = always ? ombu({"a"}) : ifchange("a");
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(contains(r.err, ": ERROR: a: Dependency cycle detected.\n")) << r.err;
        EXPECT_TRUE(contains(r.err, ": ERROR: b: Not done.\n")) << r.err;
        EXPECT_EQ(read_file(dir / "a"), "b\n");
    }
    // Stale records that need the target itself: the cycle is reported, and
    // the target's script, which no longer needs it, decides the outcome.
    script("b", "echo bee > $3\n");
    age_forward("b.do", 20);
    write_file(dir / ".ombu/a.prereqs", "f" + std::string(64, '0') + " 0 a\n");
    const run_result r = ifchange("a");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "ombu-ifchange: ERROR: a: Dependency cycle detected.\n"
              "ombu-ifchange[1]: INFO: b: Ombune.\n"
              "ombu-ifchange: INFO: a: Ombune.\n");
    EXPECT_EQ(read_file(dir / "a"), "bee\n");
}

TEST_F(SchedulerBuild, ATargetNamedTwiceIsBuiltOnce) {
    script("x", "echo x > $3\n");
    struct case_t {
        std::vector<std::string> args;
        std::string log;
    } cases[] = {
        {{"x", "x"}, "x\n"},
        {{"-j2", "x", "x"}, "x\n"},
        {{"x", "./x"}, "x\n"},
        {{"-j2", "x", "./x"}, "x\n"},
        {{"-j2", "./x", "x", "./x"}, "./x\n"},
    };
    for (const auto& c : cases) {
        const run_result r = ombu(c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(take_log(), c.log) << c.args.size() << r.err;
        EXPECT_EQ(read_file(dir / "x"), "x\n");
    }
}

TEST_F(SchedulerBuild, DebugTracesTheCallAndItsStatus) {
    write_file(dir / "y.c", "");
    script("x", "ombu-ifchange y.c\n");
    const run_result r = ombu({"-d", "x", "y.c"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "ombu: INFO: OMBU: > x (y.c)<\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "ombu-ifchange[1]: INFO: OMBU-IFCHANGE-INTERNAL: > (y.c)<\n"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "ombu: INFO: Jobs still available to start.\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "ombu: INFO: Reaped child process ID ")) << r.err;
    EXPECT_TRUE(contains(r.err, "ombu: INFO: Ombu status = 1.\n")) << r.err;
}

}  // namespace
}  // namespace ombu_test

namespace ombu_test {
namespace {

// Runs a shell command line in dir with a guard, and returns the scripts'
// log: one line a script run.
std::string runs_of(const temp_dir& dir, const std::string& command) {
    std::remove((dir / "log").c_str());
    run_shell("timeout 60 sh -c '" + command + "' >/dev/null 2>&1", dir.path());
    return read_file(dir / "log");
}

// A recorded input that was deleted is not made again in its place by a
// catch-all script: an override file that is gone stays gone, and so does a
// target's own script, as in a build from scratch.
TEST(IncrementalBuild, ADeletedInputIsNotBuiltInItsPlace) {
    temp_dir dir;
    write_file(dir / "default.do", "#!/bin/sh\necho generated > $3\n", 0755);
    write_file(dir / "t.do",
               "#!/bin/sh -e\nif [ -e t.local ]; then ombu-ifchange t.local; cat t.local > $3;\n"
               "else ombu-ifcreate t.local; echo none > $3; fi\n",
               0755);
    write_file(dir / "x.do", "#!/bin/sh -e\necho x > $3\n", 0755);
    write_file(dir / "all.do", "#!/bin/sh -e\nombu-ifchange t x\n", 0755);
    write_file(dir / "t.local", "mine\n");
    ASSERT_EQ(run_shell("timeout 60 ombu all", dir.path()).status, 0);
    EXPECT_EQ(read_file(dir / "t"), "mine\n");
    std::remove((dir / "t.local").c_str());
    std::remove((dir / "x.do").c_str());
    EXPECT_EQ(run_shell("timeout 60 ombu all", dir.path()).status, 0);
    EXPECT_FALSE(exists(dir / "t.local"));
    EXPECT_FALSE(exists(dir / "x.do"));
    EXPECT_EQ(read_file(dir / "t"), "none\n");
    EXPECT_EQ(read_file(dir / "x"), "generated\n");  // by default.do now, as from scratch
    write_file(dir / "t.local", "mine again\n");
    EXPECT_EQ(run_shell("timeout 60 ombu all", dir.path()).status, 0);
    EXPECT_EQ(read_file(dir / "t"), "mine again\n");
}

// A target runs once in a build: not again after a user's judgement rebuilt
// it, nor after another process built it while this one waited for its lock.
TEST(IncrementalBuild, ATargetRunsOnceABuild) {
    temp_dir dir;
    write_file(dir / "a.do", "#!/bin/sh -e\necho a >> log\nombu-ifchange src\ncat src > $3\n",
               0755);
    write_file(dir / "b.do", "#!/bin/sh -e\necho b >> log\nombu-ifchange a\ncat a > $3\n", 0755);
    write_file(dir / "all.do", "#!/bin/sh -e\nombu-ifchange a b\n", 0755);
    write_file(dir / "src", "1\n");
    EXPECT_EQ(runs_of(dir, "ombu all"), "a\nb\n");
    write_file(dir / "src", "2\n");
    EXPECT_EQ(runs_of(dir, "ombu all"), "a\nb\n");

    write_file(dir / "x.do", "#!/bin/sh -e\nombu-ifchange c\n", 0755);
    write_file(dir / "y.do", "#!/bin/sh -e\nombu-ifchange c\n", 0755);
    write_file(dir / "c.do", "#!/bin/sh\necho c >> log\nsleep 1\n", 0755);
    EXPECT_EQ(runs_of(dir, "ombu -j2 x y"), "c\n");
}

// Nor when its script had another process make a recorded input that had
// gone: the judging process saw the input missing before, and what it saw
// then does not answer for the later judgements of the same build.
TEST(IncrementalBuild, AnInputMadeByAnotherProcessIsLookedAtAfresh) {
    temp_dir dir;
    write_file(dir / "default.do", "#!/bin/sh\necho made > $3\n", 0755);
    write_file(dir / "c.do", "#!/bin/sh -e\necho c >> log\nombu-ifchange s\ncat s > $3\n", 0755);
    write_file(dir / "u.do", "#!/bin/sh -e\necho u >> log\nombu-ifchange c\ncat c > $3\n", 0755);
    write_file(dir / "w.do", "#!/bin/sh -e\necho w >> log\nombu-ifchange u\ncat u > $3\n", 0755);
    write_file(dir / "all.do", "#!/bin/sh -e\nombu-ifchange c u w\n", 0755);
    write_file(dir / "s", "mine\n");
    EXPECT_EQ(runs_of(dir, "ombu all"), "c\nu\nw\n");
    std::remove((dir / "s").c_str());
    EXPECT_EQ(runs_of(dir, "ombu all"), "c\nu\nw\n");
    EXPECT_EQ(read_file(dir / "w"), "made\n");
    EXPECT_EQ(runs_of(dir, "ombu all"), "");
}

// A target whose script fails is not run again in the same process along each
// path that leads to it.
TEST(IncrementalBuild, AFailedTargetIsNotRetriedAlongEveryPath) {
    temp_dir dir;
    const auto target = [&dir](const std::string& name, const std::string& inputs) {
        write_file(dir / (name + ".do"),
                   "#!/bin/sh -e\necho " + name + " >> log\nombu-ifchange " + inputs + "\ncat " +
                       inputs + " > $3\n",
                   0755);
    };
    target("a", "src");
    target("b", "a");
    target("c", "a b");
    target("d", "b c");
    write_file(dir / "all.do", "#!/bin/sh -e\nombu-ifchange d\n", 0755);
    write_file(dir / "src", "s\n");
    ASSERT_EQ(runs_of(dir, "ombu all"), "d\nb\na\nc\n");
    std::remove((dir / "src").c_str());
    // Each process runs a script at most once; before, a ran 7 times here.
    const std::string log = runs_of(dir, "ombu all");
    EXPECT_LE(std::count(log.begin(), log.end(), 'a'), 3) << log;
}

// Failure marks last as long as their build. Within it, a target that failed
// is not run again, and each skip says so; a process that a script left
// running and that starts a build after its own build has ended (here: a
// build started with the ended build's name) runs the target again.
TEST(IncrementalBuild, FailureMarksLastAsLongAsTheirBuild) {
    temp_dir dir;
    write_file(dir / "a.do",
               "#!/bin/sh\necho a >> log\nprintf %s \"$OMBUBUILD\" > name\n"
               "[ -f ok ] || exit 1\necho a > $3\n",
               0755);
    write_file(dir / "b.do", "#!/bin/sh -e\nombu-ifchange a\n", 0755);
    write_file(dir / "c.do", "#!/bin/sh -e\nombu-ifchange a\n", 0755);
    write_file(dir / "all.do", "#!/bin/sh -e\nombu-ifchange b c\n", 0755);
    const run_result failed = run_shell("timeout 60 ombu all", dir.path());
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(read_file(dir / "log"), "a\n");
    EXPECT_TRUE(contains(failed.err, "ombu-ifchange[2]: ERROR: a: Failed earlier in this build.\n"))
        << failed.err;

    write_file(dir / "ok", "");
    const std::string ended_build = read_file(dir / "name");
    ASSERT_FALSE(ended_build.empty());
    const run_result again =
        run_shell("timeout 60 ombu a", dir.path(), {{"OMBUBUILD", ended_build}});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(read_file(dir / "a"), "a\n");
}

// A target whose script failed and left its output by name stays a target
// while its script is away: back, the script runs again.
TEST(IncrementalBuild, AFailedTargetStaysATargetWhileItsScriptIsAway) {
    temp_dir dir;
    write_file(dir / "n.do", "#!/bin/sh\necho partial > n\nexit 1\n", 0755);
    write_file(dir / "all.do", "#!/bin/sh -e\nombu-ifchange n\ncat n > $3\n", 0755);
    EXPECT_EQ(run_shell("timeout 60 ombu all", dir.path()).status, 1);
    ASSERT_EQ(std::rename((dir / "n.do").c_str(), (dir / "n.do.off").c_str()), 0);
    EXPECT_EQ(run_shell("timeout 60 ombu all", dir.path()).status, 1);
    write_file(dir / "n.do", "#!/bin/sh\necho good > $3\n", 0755);
    EXPECT_EQ(run_shell("timeout 60 ombu all", dir.path()).status, 0);
    EXPECT_EQ(read_file(dir / "all"), "good\n");
}

}  // namespace
}  // namespace ombu_test
