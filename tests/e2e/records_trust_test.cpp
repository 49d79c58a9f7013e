// What a target's records vouch for: nothing changed after its script was
// launched is taken for what the target was built from, and the records of a
// job that has ended never change.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A build with a guard against one that never ends.
run_result ombu(const std::vector<std::string>& args, const std::string& dir) {
    std::vector<std::string> argv{"timeout", "60", "ombu"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, dir);
}

// Each script below edits a file once, when the file "hook" is there, as an
// editor (or another build) would while the script runs; the next build
// must be made from what is there now.
struct edit_case {
    const char* what;
    std::string script;  // out.do
    std::string reason;  // part of the reason that "ombu -p all" gives next
};

TEST(RecordsTrust, AnEditWhileTheScriptRunsIsSeenByTheNextBuild) {
    const std::string ends_at_launch =
        // The records file ends with the time of the launch, which the
        // script finds on its pending file.
        "stat -c %.9Y .ombu/out.prereqs.build > launched\n";
    const edit_case cases[] = {
        {"saved after the script read it, declared after (the depfile's headers)",
         "#!/bin/sh -e\n" + ends_at_launch +
             "cat x > $3\n"
             "[ -f hook ] && { rm hook; printf B > x; }\n"
             "ombu-ifchange x\n",
         "out needs rebuilding because x has changed hash value from " + std::string(64, '0')},
        {"saved again in the second of the launch after its record, recorded again later",
         "#!/bin/sh -e\n" + ends_at_launch +
             "second=$(stat -c %Y .ombu/out.prereqs.build)\n"
             "[ -f hook ] && touch -d @$second x\n"
             "ombu-ifchange x\n"
             "cat x > $3\n"
             "[ -f hook ] && { rm hook; printf B > x; touch -d @$second x; sleep 1.1; }\n"
             "ombu-ifchange other\n",
         "out needs rebuilding because x has changed hash value from "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir dir;
        write_file(dir / "out.do", c.script, 0755);
        write_file(dir / "all.do", "#!/bin/sh -e\nombu-ifchange out\ncat out > $3\n", 0755);
        write_file(dir / "x", "A");
        write_file(dir / "other", "");
        write_file(dir / "hook", "");
        ASSERT_EQ(ombu({"all"}, dir.path()).status, 0);
        EXPECT_EQ(read_file(dir / "out"), "A");
        EXPECT_EQ(read_file(dir / "x"), "B");
        const run_result launched = run_shell("stat -c %.9Y .ombu/out.prereqs", dir.path());
        EXPECT_EQ(launched.out, read_file(dir / "launched"));

        run_result r = ombu({"-p", "all"}, dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(dir / "all"), "B");
        EXPECT_TRUE(contains(r.err, c.reason)) << r.err;
        // Built from what is there, and nothing edited since: nothing to do.
        r = ombu({"-p", "all"}, dir.path());
        EXPECT_EQ(rebuilt_targets(r.err), std::vector<std::string>{"all"}) << r.err;
    }
}

// A directory has only its time in whole seconds: an entry added in the
// second it was recorded in, at or after its script's launch, cannot show.
TEST(RecordsTrust, ADirectoryChangedInTheSecondOfItsRecordIsListedAgain) {
    temp_dir dir;
    write_file(dir / "list.do",
               "#!/bin/sh -e\n"
               "[ -f hook ] && touch src/a.c\n"
               "second=$(stat -c %Y src)\n"
               "ombu-ifchange src\n"
               "ls src > $3\n"
               "[ -f hook ] && { rm hook; touch src/b.c; touch -d @$second src; }\n"
               "exit 0\n",
               0755);
    write_file(dir / "all.do", "#!/bin/sh -e\nombu-ifchange list\ncat list > $3\n", 0755);
    write_file(dir / "src/keep", "");
    write_file(dir / "hook", "");
    ASSERT_EQ(ombu({"all"}, dir.path()).status, 0);
    EXPECT_EQ(read_file(dir / "list"), "a.c\nkeep\n");

    const run_result r = ombu({"-p", "all"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "list"), "a.c\nb.c\nkeep\n");
    EXPECT_TRUE(contains(r.err,
                         "list needs rebuilding because src may have changed after it was "
                         "recorded, within the second of its time ("))
        << r.err;
}

// A script leaves a process running that records after the script's job has
// ended, committed or failed: nothing is written, the command warns and
// succeeds, and the job's records stay as they were.
TEST(RecordsTrust, ACommandRunAfterItsJobEndedRecordsNothing) {
    struct case_t {
        const char* what;
        int status;           // the script's
        const char* records;  // where the job's records are then
    } cases[] = {
        {"committed", 0, ".ombu/serve.prereqs"},
        {"failed", 1, ".ombu/serve.prereqs.build"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir dir;
        write_file(dir / "serve.do",
                   "#!/bin/sh\n"
                   "ombu-ifchange x.in\n"
                   "(while [ ! -e go ]; do sleep 0.05; done\n"
                   " ombu-ifchange x.in > late.log 2>&1; echo \"rc=$?\" >> late.log\n"
                   ") < /dev/null > /dev/null 2>&1 &\n"
                   "echo served > $3\n"
                   "exit " +
                       std::to_string(c.status) + "\n",
                   0755);
        write_file(dir / "x.in", "1");
        ombu({"serve"}, dir.path());
        const std::string records = read_file(dir / c.records);
        ASSERT_TRUE(contains(records, " x.in\n")) << records;
        write_file(dir / "go", "");
        for (int i = 0; i < 600 && !contains(read_file(dir / "late.log"), "rc="); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_EQ(read_file(dir / "late.log"),
                  "ombu-ifchange[1]: WARNING: Not recorded: the job of the script that ran this "
                  "command has ended.\nrc=0\n");
        EXPECT_EQ(read_file(dir / c.records), records);
    }
}

}  // namespace
}  // namespace ombu_test
