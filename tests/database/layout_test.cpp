#include "database/layout.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "support/scratch.hpp"

namespace ombu {
namespace {

using namespace ombu_unit;

TEST(DatabasePath, ConcatenatesWithoutNormalising) {
    struct case_t {
        const char* target;
        const char* suffix;
        const char* path;
    } cases[] = {
        {"foo", prerequisites_suffix, ".ombu/foo.prereqs"},
        {"foo", pending_suffix, ".ombu/foo.prereqs.build"},
        {"foo", lock_suffix, ".ombu/foo.prereqs.lock"},
        {"foo", prerequisites_ne_suffix, ".ombu/foo.prereqsne"},
        {"foo", pending_ne_suffix, ".ombu/foo.prereqsne.build"},
        {"src/lib/x.o", prerequisites_suffix, ".ombu/src/lib/x.o.prereqs"},
        {"/tmp/out", prerequisites_suffix, ".ombu//tmp/out.prereqs"},
        {"../foo", prerequisites_suffix, ".ombu/../foo.prereqs"},
        {"./foo", lock_suffix, ".ombu/./foo.prereqs.lock"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(database_path(c.target, c.suffix), c.path) << c.target << c.suffix;
    }
}

TEST(IsSourceFile, ExistingNameWithoutDatabaseFiles) {
    struct case_t {
        const char* what;
        std::function<void()> setup;
        bool source;
    } cases[] = {
        {"missing name", [] {}, false},
        {"plain file", [] { put_file("foo"); }, true},
        {"directory", [] { mkdir("foo", 0777); }, true},
        {"with prerequisites",
         [] {
             put_file("foo");
             put_file(".ombu/foo.prereqs");
         },
         false},
        {"with .prereqsne",
         [] {
             put_file("foo");
             put_file(".ombu/foo.prereqsne");
         },
         false},
        {"with stale pending file",
         [] {
             put_file("foo");
             put_file(".ombu/foo.prereqs.build");
         },
         false},
        {"with .prereqsne.build",
         [] {
             put_file("foo");
             put_file(".ombu/foo.prereqsne.build");
         },
         false},
        {"only the lock file",
         [] {
             put_file("foo");
             put_file(".ombu/foo.prereqs.lock");
         },
         true},
        {"dangling symbolic link", [] { (void)!symlink("nowhere", "foo"); }, false},
        {"link to a file",
         [] {
             put_file("there");
             (void)!symlink("there", "foo");
         },
         true},
        // A database file that is a dangling link does not exist for the test.
        {"database file a dangling link",
         [] {
             put_file("foo");
             mkdir(".ombu", 0777);
             (void)!symlink("no", ".ombu/foo.prereqs");
         },
         true},
    };
    for (const auto& c : cases) {
        scratch_directory scratch;
        c.setup();
        EXPECT_EQ(is_source_file("foo"), c.source) << c.what;
    }
}

TEST(IsSourceFile, NamesInSubdirectories) {
    scratch_directory scratch;
    put_file("src/a.c");
    put_file("src/b.o");
    put_file(".ombu/src/b.o.prereqs");
    EXPECT_TRUE(is_source_file("src/a.c"));
    EXPECT_FALSE(is_source_file("src/b.o"));
    EXPECT_FALSE(is_source_file("./src/b.o"));  // .ombu/./src/b.o.prereqs is the same file
}

// Only a records file that is there and is another file than the one judged
// proves a commit since; a missing one (a commit that failed half way) does not.
TEST(CommittedSince, OnlyANewRecordsFileProvesACommit) {
    struct case_t {
        const char* what;
        bool judged_with_file;
        std::function<void()> since;
        bool committed;
    } cases[] = {
        {"same file", true, [] {}, false},
        {"file removed", true, [] { std::remove(".ombu/t.prereqs"); }, false},
        {"still none", false, [] {}, false},
        {"renamed over", true,
         [] {
             put_file(".ombu/t.prereqs.build");
             std::rename(".ombu/t.prereqs.build", ".ombu/t.prereqs");
         },
         true},
        {"first records", false, [] { put_file(".ombu/t.prereqs"); }, true},
    };
    for (const auto& c : cases) {
        scratch_directory scratch;
        mkdir(".ombu", 0777);
        if (c.judged_with_file) put_file(".ombu/t.prereqs");
        const auto judged = identity_of_name(".ombu/t.prereqs");
        c.since();
        EXPECT_EQ(committed_since(".ombu/t.prereqs", judged), c.committed) << c.what;
    }
}

// After a failed script search the pending file goes only when the name does
// not exist: an output left by a script that failed keeps its name a target.
TEST(ForgetTargetWithoutScript, KeepsThePendingFileOfANameThatExists) {
    for (bool name_exists : {false, true}) {
        scratch_directory scratch;
        put_file(".ombu/n.prereqs.build");
        if (name_exists) put_file("n", "partial");
        forget_target_without_script("n", ".ombu/n.prereqs.build");
        EXPECT_EQ(access(".ombu/n.prereqs.build", F_OK) == 0, name_exists);
        EXPECT_EQ(is_source_file("n"), false);
    }
}

}  // namespace
}  // namespace ombu
