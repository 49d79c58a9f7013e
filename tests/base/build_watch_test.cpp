#include "base/build_watch.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace ombu {
namespace {

// Runs body in a child, which then waits until the write end of go is
// closed by the test.
pid_t child_holding(const int go[2], void (*body)()) {
    const pid_t pid = fork();
    if (pid == 0) {
        close(go[1]);
        body();
        char byte;
        while (read(go[0], &byte, 1) > 0) {
        }
        _exit(0);
    }
    return pid;
}

// The outermost build tells its members from processes that merely inherited
// the watch's read end (a script, or what it left running): only members
// keep build_members_ended false.
TEST(BuildWatch, OnlyMembersKeepTheBuildFromEnding) {
    unsetenv(build_watch_variable);
    EXPECT_EQ(find_inherited_watch(), inherited_watch::none);
    ASSERT_TRUE(start_watch());
    EXPECT_TRUE(build_members_ended());

    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t inheritor = child_holding(go, [] {});
    const pid_t member = child_holding(go, [] {
        if (find_inherited_watch() != inherited_watch::running) _exit(1);
        join_watch();
        if (build_member_fd() < 0) _exit(2);
    });
    close(go[0]);
    // The member has joined once it waits on go; give it a moment.
    for (int i = 0; i < 200 && build_members_ended(); ++i) usleep(10000);
    EXPECT_FALSE(build_members_ended());

    close(go[1]);  // both children end
    int status = -1;
    ASSERT_EQ(waitpid(member, &status, 0), member);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(build_members_ended());
    ASSERT_EQ(waitpid(inheritor, &status, 0), inheritor);

    // A process that looks after the end (it inherited the read end before)
    // finds the watch ended.
    int later[2];
    ASSERT_EQ(pipe(later), 0);
    const pid_t late = fork();
    if (late == 0) {
        close(later[1]);
        char byte;
        while (read(later[0], &byte, 1) > 0) {
        }
        _exit(find_inherited_watch() == inherited_watch::ended ? 0 : 1);
    }
    close(later[0]);
    end_build_watch();
    close(later[1]);
    ASSERT_EQ(waitpid(late, &status, 0), late);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace ombu
