#include "runner/job.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "base/process.hpp"
#include "support/scratch.hpp"

namespace ombu {
namespace {

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
