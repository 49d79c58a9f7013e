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
        ASSERT_EQ(take_target_lock(
                      "ombu", {.target = job.target, .lock_name = job.lock_name, .exclusive = true},
                      job.lock),
                  lock_status::locked);
        EXPECT_NE(flock(other, LOCK_SH | LOCK_NB), 0);
    }
    EXPECT_EQ(flock(other, LOCK_SH | LOCK_NB), 0);
    close(other);
}

}  // namespace
}  // namespace ombu
