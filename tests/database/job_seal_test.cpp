#include "database/job_seal.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/scratch.hpp"

namespace ombu {
namespace {

using ombu_unit::file_text;
using ombu_unit::scratch_directory;

mode_t mode_of(const char* path) {
    struct stat status;
    return stat(path, &status) == 0 ? status.st_mode & 07777 : 0;
}

int open_pending(mode_t mode = 0644) {
    const int fd = open("pending", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    fchmod(fd, mode);  // whatever the umask
    return fd;
}

struct ended_case {
    const char* what;
    mode_t mode;
    bool unlinked;
    bool ended;
};

TEST(JobSeal, TheFileTellsWhetherItsJobHasEnded) {
    const ended_case cases[] = {
        {"a new pending file", 0644, false, false},
        {"only the owner may write", 0600, false, false},
        {"sealed", 0444, false, true},
        {"others may write, not the owner", 0466, false, true},
        {"unlinked (abandoned or replaced by a later launch)", 0644, true, true},
    };
    for (const auto& c : cases) {
        scratch_directory scratch;
        const int fd = open_pending(c.mode);
        ASSERT_GE(fd, 0);
        if (c.unlinked) unlink("pending");
        EXPECT_EQ(parent_job_ended(fd), c.ended) << c.what;
        close(fd);
    }
    // No descriptor, or one not open: nothing shows an ended job.
    EXPECT_FALSE(parent_job_ended(-1));
    int closed[2];
    ASSERT_EQ(pipe(closed), 0);
    close(closed[0]);
    close(closed[1]);
    EXPECT_FALSE(parent_job_ended(closed[0]));
}

TEST(JobSeal, ANewPendingFileTakesRecordsWhateverTheUmask) {
    scratch_directory scratch;
    const int fd = open_pending(0444);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(parent_job_ended(fd));
    EXPECT_TRUE(open_to_records(fd));
    EXPECT_EQ(mode_of("pending"), 0644u);
    EXPECT_FALSE(parent_job_ended(fd));
    close(fd);
}

// The seal clears every write bit and keeps the records; given the launch's
// moment, it puts that time back.
TEST(JobSeal, SealingKeepsTheRecordsAndTheLaunchTime) {
    scratch_directory scratch;
    const int fd = open_pending(0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "records\n", 8), 8);
    const struct timespec launched_at = {1000000000, 123456789};

    EXPECT_TRUE(seal_pending_file(fd, &launched_at));
    EXPECT_EQ(mode_of("pending"), 0444u);
    EXPECT_TRUE(parent_job_ended(fd));
    EXPECT_EQ(file_text("pending"), "records\n");
    struct stat status;
    ASSERT_EQ(stat("pending", &status), 0);
    EXPECT_EQ(status.st_mtim.tv_sec, launched_at.tv_sec);
    EXPECT_EQ(status.st_mtim.tv_nsec, launched_at.tv_nsec);

    // Without a moment the time is left as it is.
    ASSERT_EQ(fchmod(fd, 0644), 0);
    const struct timespec later[2] = {{0, UTIME_OMIT}, {2000000000, 0}};
    ASSERT_EQ(futimens(fd, later), 0);
    EXPECT_TRUE(seal_pending_file(fd));
    ASSERT_EQ(stat("pending", &status), 0);
    EXPECT_EQ(status.st_mtim.tv_sec, 2000000000);
    close(fd);
}

TEST(JobSeal, ADescriptorNotOpenForWritingCannotSeal) {
    scratch_directory scratch;
    ombu_unit::put_file("pending", "", 0644);
    const int fd = open("pending", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(seal_pending_file(fd));
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(mode_of("pending"), 0644u);
    close(fd);
}

}  // namespace
}  // namespace ombu
