#include "base/write_lock.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "support/scratch.hpp"

namespace ombu {
namespace {

using ombu_unit::scratch_directory;

// True when /proc/locks shows a process waiting for a lock on the inode.
bool someone_waits_on(ino_t inode) {
    std::ifstream locks("/proc/locks");
    const std::string tail = ":" + std::to_string(inode) + " ";
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos && line.find(tail) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The commands of a script share one open file description of the pending
// file, write-only: a child that inherited the descriptor still waits for
// the lock its parent holds, and gets it once the parent lets go.
TEST(WriteLock, ExcludesAnotherProcessThroughTheSameDescription) {
    scratch_directory scratch;
    const int fd = open("pending", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    struct stat status;
    ASSERT_EQ(fstat(fd, &status), 0);
    ASSERT_TRUE(take_write_lock(fd));

    const pid_t child = fork();
    if (child == 0) {
        const bool taken = take_write_lock(fd);
        const bool wrote = taken && write(fd, "child\n", 6) == 6;
        _exit(wrote ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    // Waits until the child is seen waiting (or gives up after a long while).
    bool waiting = false;
    for (int i = 0; i < 2000 && !(waiting = someone_waits_on(status.st_ino)); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(waiting);
    EXPECT_EQ(write(fd, "parent\n", 7), 7);
    release_write_lock(fd);
    int child_status = 0;
    ASSERT_EQ(waitpid(child, &child_status, 0), child);
    EXPECT_TRUE(WIFEXITED(child_status) && WEXITSTATUS(child_status) == 0);
    EXPECT_EQ(ombu_unit::file_text("pending"), "parent\nchild\n");
    close(fd);
}

}  // namespace
}  // namespace ombu
