// A process that a script leaves running (a watcher, a server) and that
// builds after the script's job has ended is a build of its own: it inherits
// nothing that lets it act as part of the build that started it.
#include <gtest/gtest.h>

#include <string>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The watcher runs `ombu all` while a user's build holds all's lock: it
// waits for the lock as any other build would (the locks its starter held
// are not held upstream of it any more) and builds all, without the ended
// build's job server.
TEST(Leftover, AProcessLeftRunningIsABuildOfItsOwn) {
    temp_dir dir;
    write_file(dir / "x.in", "1\n");
    write_file(dir / "spawn", "");
    write_file(dir / "serve.do",
               "#!/bin/sh\n"
               "if [ -f spawn ]; then rm spawn\n"
               "  setsid sh -c 'while [ ! -e go ]; do sleep 0.1; done; ombu all > watcher.log 2>&1;"
               " echo \"rc=$?\" > watcher.status' < /dev/null > /dev/null 2>&1 &\n"
               "fi\n"
               "echo served > \"$3\"\n",
               0755);
    write_file(
        dir / "x.do",
        "#!/bin/sh\nombu-ifchange x.in\n[ -f slow ] && { touch go; sleep 2; }\ncat x.in > \"$3\"\n",
        0755);
    write_file(
        dir / "all.do",
        "#!/bin/sh\necho \"$OMBUFLAGS\" > all.flags\nombu-ifchange serve x\ncat x > \"$3\"\n",
        0755);
    ASSERT_EQ(run_shell("timeout 60 ombu -s -j3 all", dir.path()).status, 0);
    EXPECT_TRUE(contains(read_file(dir / "all.flags"), "--jobserver-fds="));

    // The user's build holds all's lock while x sleeps; the watcher starts then.
    write_file(dir / "x.in", "2\n");
    write_file(dir / "slow", "");
    run_result user = run_shell("timeout 60 ombu -s all", dir.path());
    EXPECT_EQ(user.status, 0) << user.err;
    run_result watcher = run_shell(
        "rm slow; for i in $(seq 300); do [ -e watcher.status ] && break; sleep 0.1; done;"
        " cat watcher.status",
        dir.path());
    EXPECT_EQ(watcher.out, "rc=0\n") << read_file(dir / "watcher.log");
    EXPECT_FALSE(contains(read_file(dir / "watcher.log"), "cycle"))
        << read_file(dir / "watcher.log");
    EXPECT_EQ(read_file(dir / "all"), "2\n");
    // all was last built by the watcher, which took over no job server.
    EXPECT_FALSE(contains(read_file(dir / "all.flags"), "--jobserver-fds="))
        << read_file(dir / "all.flags");
}

}  // namespace
}  // namespace ombu_test
