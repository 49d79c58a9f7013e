#include "base/standard_streams.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <iostream>
#include <string>

#include "base/descriptor_buffer.hpp"
#include "support/scratch.hpp"

namespace ombu {
namespace {

using ombu_unit::captured_log;

// Runs body in a child process and returns its exit status; the child may
// close its standard descriptors without disturbing the test.
template <typename Body>
int in_child(Body body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool is_dev_null(int fd, int mode) {
    char target[PATH_MAX] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    if (readlink(link.c_str(), target, sizeof target - 1) < 0) return false;
    const int flags = fcntl(fd, F_GETFL);
    const int fd_flags = fcntl(fd, F_GETFD);
    return std::string(target) == "/dev/null" && (flags & O_ACCMODE) == mode &&
           (fd_flags & FD_CLOEXEC) == 0;
}

TEST(StandardDescriptors, ClosedOnesGetDevNullAndOpenOnesStay) {
    // Every combination of closed descriptors among 0, 1 and 2.
    for (int closed = 0; closed < 8; ++closed) {
        const int status = in_child([closed] {
            const int keep = dup(1);  // the original standard output, to compare with
            for (int fd = 0; fd <= 2; ++fd) {
                if ((closed & (1 << fd)) != 0) close(fd);
            }
            if (!open_closed_standard_descriptors()) return 10;
            for (int fd = 0; fd <= 2; ++fd) {
                if ((closed & (1 << fd)) == 0) continue;
                if (!is_dev_null(fd, fd == 0 ? O_RDONLY : O_WRONLY)) return 20 + fd;
            }
            // An open one is left as it was.
            if ((closed & 2) == 0) {
                struct stat a, b;
                if (fstat(1, &a) != 0 || fstat(keep, &b) != 0 || a.st_ino != b.st_ino) return 30;
            }
            // The next file opened does not take a standard number.
            return open("/dev/null", O_RDONLY) > 2 ? 0 : 40;
        });
        EXPECT_EQ(status, 0) << "closed mask " << closed;
    }
}

// A write that fails is remembered with its error; what follows is dropped.
TEST(DescriptorBuffer, RemembersTheFirstFailedWrite) {
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    descriptor_buffer buffer(full, 1);
    std::ostream out(&buffer);
    out << "line\n";
    EXPECT_EQ(buffer.error(), ENOSPC);
    EXPECT_FALSE(out.good());
    close(full);
}

// Text is written whole lines at a time, in pieces of at least flush_at bytes.
TEST(DescriptorBuffer, WritesWholeLinesOnceEnoughIsCollected) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    descriptor_buffer buffer(fds[1], 8);
    std::ostream out(&buffer);
    auto available = [&] {
        char text[64];
        const int flags = fcntl(fds[0], F_GETFL);
        fcntl(fds[0], F_SETFL, flags | O_NONBLOCK);
        const ssize_t n = read(fds[0], text, sizeof text);
        fcntl(fds[0], F_SETFL, flags);
        return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
    };
    out << "ab\n";
    EXPECT_EQ(available(), "");
    out << "cdefgh";
    EXPECT_EQ(available(), "");  // past 8 bytes, but within a line
    out << "i\nj";
    EXPECT_EQ(available(), "ab\ncdefghi\n");
    out.flush();
    EXPECT_EQ(available(), "j");
    EXPECT_EQ(buffer.error(), 0);
    close(fds[0]);
    close(fds[1]);
}

TEST(StandardOutput, AFailedWriteIsReportedOnce) {
    const int status = in_child([] {
        const int full = open("/dev/full", O_WRONLY);
        if (full < 0 || dup2(full, 1) != 1) return 10;
        use_checked_standard_output();
        std::cout << "some output\n";
        captured_log log;
        if (finish_standard_output("cubehash")) return 20;
        if (log.str() != "cubehash: ERROR: standard output: No space left on device\n") return 30;
        return 0;
    });
    EXPECT_EQ(status, 0);

    // Output that reached its file is no failure.
    const int fine = in_child([] {
        const int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, 1) != 1) return 10;
        use_checked_standard_output();
        std::cout << "some output\n";
        captured_log log;
        return finish_standard_output("cubehash") && log.str().empty() ? 0 : 20;
    });
    EXPECT_EQ(fine, 0);
}

}  // namespace
}  // namespace ombu
