#include "runner/job.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "base/process.hpp"
#include "support/scratch.hpp"

namespace ombu {
namespace {

TEST(Job, NamesFormedFromTheTargetAsGiven) {
    struct case_t {
        const char* name;
        const char* output;
        const char* prerequisites;
    } cases[] = {
        {"foo", "foo.doing", ".ombu/foo.prereqs"},
        {"a/b.c", "a/b.c.doing", ".ombu/a/b.c.prereqs"},
        {"./foo", "./foo.doing", ".ombu/./foo.prereqs"},
        {"/tmp/out", "/tmp/out.doing", ".ombu//tmp/out.prereqs"},
        {"../x", "../x.doing", ".ombu/../x.prereqs"},
    };
    for (const auto& c : cases) {
        const Job job(c.name);
        EXPECT_EQ(job.name, c.name);  // the caller's pointer, not a copy
        EXPECT_EQ(job.target, c.name);
        EXPECT_EQ(job.output_name, c.output);
        EXPECT_EQ(job.prerequisites_name, c.prerequisites);
        EXPECT_EQ(job.pending_name, std::string(c.prerequisites) + ".build");
        EXPECT_EQ(job.lock_name, std::string(c.prerequisites) + ".lock");
        EXPECT_EQ(job.pid, -1);
        EXPECT_EQ(job.lock_fd.get(), -1);
        EXPECT_TRUE(job.script.empty());
        EXPECT_FALSE(job.lock_known);
    }
}

TEST(Job, DestructionReleasesAHeldLock) {
    ombu_unit::scratch_directory scratch;
    ombu_unit::put_file(".ombu/t.prereqs.lock");
    const int other = open(".ombu/t.prereqs.lock", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    {
        Job job("t");
        job.lock_fd.reset(open_locked_exclusive(AT_FDCWD, job.lock_name.c_str()));
        ASSERT_GE(job.lock_fd.get(), 0);
        EXPECT_NE(flock(other, LOCK_SH | LOCK_NB), 0);
    }
    EXPECT_EQ(flock(other, LOCK_SH | LOCK_NB), 0);
    close(other);
}

}  // namespace
}  // namespace ombu
