#include "runner/find_script.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/settings.hpp"
#include "fingerprint/fingerprint.hpp"
#include "support/scratch.hpp"

namespace ombu {
namespace {

using namespace ombu_unit;

struct search_outcome {
    bool found = false;
    std::string script;
    std::string argument1;
    std::string argument2;
    std::vector<std::string> records;
    std::string log;
};

// Runs the search for target in the current directory, recording into a
// pending file there.
search_outcome run_search(const std::string& target) {
    const int pending_fd = open("pending", O_WRONLY | O_CREAT | O_TRUNC, 0666);
    Job job(target.c_str());
    script_match match;
    search_outcome outcome;
    {
        captured_log log;
        outcome.found = find_script("ombu", job, match, pending_fd);
        outcome.log = log.str();
    }
    close(pending_fd);
    outcome.script = job.script;
    outcome.argument1 = match.directory_prefix + match.stem;
    outcome.argument2 = match.extension;
    outcome.records = record_summary(file_text("pending"));
    // The cache is process-wide and the next search works in another directory.
    for (const auto& record : outcome.records) process_fingerprints().forget(record.substr(2));
    return outcome;
}

// The same in a scratch directory holding the scripts given (below root).
search_outcome search_among(const std::string& target, const std::vector<std::string>& scripts,
                            const std::string& root = "") {
    scratch_directory scratch;
    for (const auto& script : scripts) put_file(root + script, "#!/bin/sh\n", 0755);
    return run_search(root + target);
}

TEST(FindScript, CandidateOrderArgumentsAndRecords) {
    struct case_t {
        const char* target;
        std::vector<std::string> scripts;
        const char* script;
        const char* argument1;
        const char* argument2;
        std::vector<std::string> records;
    } cases[] = {
        {"hello", {"hello.do", "default.do"}, "hello.do", "hello", "", {"f:hello.do"}},
        {"hello.o",
         {"default.o.do", "default.do"},
         "default.o.do",
         "hello",
         ".o",
         {"a:hello.o.do", "f:default.o.do"}},
        {"README", {"default.do"}, "default.do", "README", "", {"a:README.do", "f:default.do"}},
        {".profile",
         {"default.profile.do"},
         "default.profile.do",
         "",
         ".profile",
         {"a:.profile.do", "f:default.profile.do"}},
        {".profile",
         {"default.do"},
         "default.do",
         ".profile",
         "",
         {"a:.profile.do", "a:default.profile.do", "f:default.do"}},
        {"x.", {"default..do"}, "default..do", "x", ".", {"a:x..do", "f:default..do"}},
        {"x.",
         {"default.do"},
         "default.do",
         "x.",
         "",
         {"a:x..do", "a:default..do", "f:default.do"}},
        {"src/lib/x.tar.gz",
         {"src/lib/default.gz.do", "default.do"},
         "src/lib/default.gz.do",
         "src/lib/x.tar",
         ".gz",
         {"a:src/lib/x.tar.gz.do", "a:src/lib/default.tar.gz.do", "f:src/lib/default.gz.do"}},
        {"src/lib/x.tar.gz",
         {"src/default.do"},
         "src/default.do",
         "src/lib/x.tar.gz",
         "",
         {"a:src/lib/x.tar.gz.do", "a:src/lib/default.tar.gz.do", "a:src/lib/default.gz.do",
          "a:src/lib/default.do", "a:src/x.tar.gz.do", "a:src/default.tar.gz.do",
          "a:src/default.gz.do", "f:src/default.do"}},
        {"src/lib/x.tar.gz",
         {"default.tar.gz.do"},
         "default.tar.gz.do",
         "src/lib/x",
         ".tar.gz",
         {"a:src/lib/x.tar.gz.do", "a:src/lib/default.tar.gz.do", "a:src/lib/default.gz.do",
          "a:src/lib/default.do", "a:src/x.tar.gz.do", "a:src/default.tar.gz.do",
          "a:src/default.gz.do", "a:src/default.do", "a:x.tar.gz.do", "f:default.tar.gz.do"}},
        {"sub/x.o", {"sub/x.o.do"}, "sub/x.o.do", "sub/x.o", "", {"f:sub/x.o.do"}},
        {"a//b.c",
         {"default.c.do"},
         "default.c.do",
         "a//b",
         ".c",
         {"a:a//b.c.do", "a:a//default.c.do", "a:a//default.do", "a:a/b.c.do", "a:a/default.c.do",
          "a:a/default.do", "a:b.c.do", "f:default.c.do"}},
    };
    for (const auto& c : cases) {
        const search_outcome outcome = search_among(c.target, c.scripts);
        EXPECT_TRUE(outcome.found) << c.target;
        EXPECT_EQ(outcome.script, c.script) << c.target;
        EXPECT_EQ(outcome.argument1, c.argument1) << c.target;
        EXPECT_EQ(outcome.argument2, c.argument2) << c.target;
        EXPECT_EQ(outcome.argument1 + outcome.argument2, c.target);
        EXPECT_EQ(outcome.records, c.records) << c.target;
        EXPECT_EQ(outcome.log, "") << c.target;
    }
}

TEST(FindScript, ParentDirectoryLevelEndsAtTheCurrentDirectory) {
    // "../" holds no "/" before its last character: the next level is ".".
    scratch_directory scratch;
    put_file("default.c.do", "#!/bin/sh\n", 0755);
    put_file("w/default.do", "#!/bin/sh\n", 0755);
    ASSERT_EQ(chdir("w"), 0);
    const search_outcome outcome = run_search("../x.c");
    EXPECT_TRUE(outcome.found);
    EXPECT_EQ(outcome.script, "../default.c.do");
    EXPECT_EQ(outcome.argument1, "../x");

    ASSERT_EQ(unlink("../default.c.do"), 0);
    const search_outcome upper = run_search("../x.c");
    EXPECT_EQ(upper.script, "default.do");
    EXPECT_EQ(upper.argument1, "../x.c");
    EXPECT_EQ(upper.records,
              (std::vector<std::string>{"a:../x.c.do", "a:../default.c.do", "a:../default.do",
                                        "a:x.c.do", "a:default.c.do", "f:default.do"}));
}

TEST(FindScript, AbsoluteTargetsClimbToTheRoot) {
    scratch_directory scratch;
    const std::string root = scratch.path() + "/";
    const search_outcome outcome = search_among("sub/out.txt", {"default.txt.do"}, root);
    EXPECT_TRUE(outcome.found);
    EXPECT_EQ(outcome.script, root + "default.txt.do");
    EXPECT_EQ(outcome.argument1, root + "sub/out");
    EXPECT_EQ(outcome.records,
              (std::vector<std::string>{"a:" + root + "sub/out.txt.do",
                                        "a:" + root + "sub/default.txt.do",
                                        "a:" + root + "sub/default.do", "a:" + root + "out.txt.do",
                                        "f:" + root + "default.txt.do"}));
}

TEST(FindScript, NoScriptAnywhereRecordsEveryCandidate) {
    const search_outcome relative = search_among("a/b.c", {});
    EXPECT_FALSE(relative.found);
    EXPECT_EQ(relative.script, "default.do");  // the last candidate tried
    EXPECT_EQ(relative.records,
              (std::vector<std::string>{"a:a/b.c.do", "a:a/default.c.do", "a:a/default.do",
                                        "a:b.c.do", "a:default.c.do", "a:default.do"}));
    EXPECT_EQ(relative.log,
              "ombu: ERROR: a/b.c: Cannot find .do file to use.\n"
              "ombu: INFO: a/b.c: No file of this name exists either: is the name misspelt?\n");

    // An absolute name gives up after "/".
    const search_outcome absolute = search_among("/no-such-directory-of-ombu/out", {});
    EXPECT_FALSE(absolute.found);
    EXPECT_EQ(absolute.records, (std::vector<std::string>{"a:/no-such-directory-of-ombu/out.do",
                                                          "a:/no-such-directory-of-ombu/default.do",
                                                          "a:/out.do", "a:/default.do"}));
    EXPECT_EQ(absolute.log,
              "ombu: ERROR: /no-such-directory-of-ombu/out: Cannot find .do file to use.\n"
              "ombu: INFO: /no-such-directory-of-ombu/out: No file of this name exists either: is "
              "the name misspelt?\n");
}

TEST(FindScript, ExistenceFollowsSymbolicLinks) {
    scratch_directory scratch;
    // A dangling link is no script, and is recorded with its own fingerprint;
    // a directory is taken (its start fails later).
    ASSERT_EQ(symlink("nowhere", "hello.o.do"), 0);
    mkdir("default.o.do", 0777);
    const search_outcome outcome = run_search("hello.o");
    EXPECT_TRUE(outcome.found);
    EXPECT_EQ(outcome.script, "default.o.do");
    EXPECT_EQ(outcome.records, (std::vector<std::string>{"s:hello.o.do", "d:default.o.do"}));
}

TEST(FindScript, DebugTracesEveryRecording) {
    debug_flag = true;
    const search_outcome outcome = search_among("src/lib/x.tar.gz", {"src/lib/default.gz.do"});
    debug_flag = false;
    EXPECT_EQ(outcome.log,
              "ombu: INFO: RECORD-PREREQUISITES: > src/lib/x.tar.gz.do<\n"
              "ombu: INFO: RECORD-PREREQUISITES: > src/lib/default.tar.gz.do<\n"
              "ombu: INFO: RECORD-PREREQUISITES: > src/lib/default.gz.do<\n");
}

}  // namespace
}  // namespace ombu
