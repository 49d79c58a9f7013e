// Builds that wait for one another's locks: a cycle through scripts running
// side by side is reported, and waiting never stops a build from reaping its
// own scripts.
#include <gtest/gtest.h>

#include <string>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(LockWait, CycleBetweenScriptsRunningSideBySideIsReported) {
    temp_dir dir;
    write_file(dir / "a.do", "#!/bin/sh -e\nombu-ifchange b\necho a > \"$3\"\n", 0755);
    write_file(dir / "b.do", "#!/bin/sh -e\nombu-ifchange a\necho b > \"$3\"\n", 0755);
    // First build: each script's nested build waits for the other's target.
    // Second build: both exist, and each nested build first reads the other.
    for (int round = 0; round < 2; ++round) {
        run_result r = run_shell("timeout 60 ombu -j2 a b", dir.path());
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_TRUE(contains(r.err, ": Dependency cycle detected.\n")) << r.err;
        EXPECT_TRUE(contains(r.err, ": Not done.\n")) << r.err;
        // Plant the targets for the second round.
        write_file(dir / "a", "a\n");
        write_file(dir / "b", "b\n");
    }
    // The notes left while waiting are gone.
    run_result left = run_shell("ls -a .ombu | grep -c waits", dir.path());
    EXPECT_EQ(left.out, "0\n");
}

TEST(LockWait, ABuildWithScriptsRunningNeverWaitsForALock) {
    // prog needs lib, lib needs util. ombu starts prog, util and many quick
    // targets before lib; by then prog's nested build holds lib, whose script
    // waits for util, which only this build can finish.
    temp_dir dir;
    write_file(dir / "prog.do", "#!/bin/sh -e\nombu-ifchange lib\necho prog > \"$3\"\n", 0755);
    write_file(dir / "lib.do", "#!/bin/sh -e\nombu-ifchange util\necho lib > \"$3\"\n", 0755);
    write_file(dir / "util.do", "#!/bin/sh -e\nsleep 1\necho util > \"$3\"\n", 0755);
    write_file(dir / "default.do", "#!/bin/sh -e\necho \"$1\" > \"$3\"\n", 0755);
    std::string names = "prog util";
    for (int i = 0; i < 40; ++i) names += " f" + std::to_string(i);
    run_result r = run_shell("timeout 60 ombu -j50 " + names + " lib", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(contains(r.err, "ERROR")) << r.err;
    EXPECT_EQ(read_file(dir / "prog"), "prog\n");
    EXPECT_EQ(read_file(dir / "lib"), "lib\n");
}

}  // namespace
}  // namespace ombu_test
