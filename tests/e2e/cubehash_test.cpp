// The cubehash command, run as the built executable.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e/harness.hpp"
#include "support/unprivileged.hpp"

namespace ombu_test {
namespace {

const std::string empty_digest = "67dfa7b6b3cb27c58c19db1d7bbb7c4596913e25f228ddfb9910ddf3c5cad2eb";
const std::string abc_digest = "0bff398cba8200a6914e740b3b092e46e9658bf84fb5921b29b346ab34294238";

std::string hex_mtime(const std::string& path) {
    struct stat status;
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    char text[32];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(status.st_mtime));
    return text;
}

TEST(CubehashCommand, PrintsOneRecordPerNameForEveryKind) {
    temp_dir dir;
    write_file(dir / "empty", "");
    write_file(dir / "abc", "abc");
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    write_file(dir / "sub/x", "abc");
    ASSERT_EQ(symlink("abc", (dir / "link").c_str()), 0);
    ASSERT_EQ(symlink("missing", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);

    // The FIFO has no writer: a command that opened it would hang here.
    run_result r = run_command(
        "cubehash", {"empty", "abc", "sub", "link", "dangling", "fifo", "nothere", "abc", "./abc"},
        dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::string abc_line = "f" + abc_digest + " " + hex_mtime(dir / "abc") + " ";
    EXPECT_EQ(r.out, "f" + empty_digest + " " + hex_mtime(dir / "empty") + " empty\n" + abc_line +
                         "abc\n" + "d" + hex_mtime(dir / "sub") + " sub\n" + "s" +
                         hex_mtime(dir / "link") + " link\n" + "s" + hex_mtime(dir / "dangling") +
                         " dangling\n" + "s" + hex_mtime(dir / "fifo") + " fifo\n" + "anothere\n" +
                         abc_line + "abc\n" + abc_line + "./abc\n");
}

TEST(CubehashCommand, ChangesDirectoryAndEndsOptionsAtDoubleDash) {
    temp_dir dir;
    write_file(dir / "sub/x", "abc");
    write_file(dir / "-x", "");
    run_result r = run_command("cubehash", {"-C", "sub", "x"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "f" + abc_digest + " " + hex_mtime(dir / "sub/x") + " x\n");

    r = run_command("cubehash", {"--", "-x"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "f" + empty_digest + " " + hex_mtime(dir / "-x") + " -x\n");
}

TEST(CubehashCommand, UnreadableFileGetsTheEmptyDigest) {
    temp_dir dir;
    write_file(dir / "secret", "abc", 0);
    // The superuser reads every file: it runs the command as nobody instead.
    std::vector<std::string> command = {binary_dir() + "/cubehash", "secret"};
    if (geteuid() == 0) {
        const ombu_unit::unprivileged_user user = ombu_unit::nobody();
        if (!user.found) GTEST_SKIP() << "the superuser runs the tests and there is no user nobody";
        ASSERT_EQ(chown(dir.path().c_str(), user.uid, user.gid), 0);
        command.insert(command.begin(), {"setpriv", "--reuid=" + std::to_string(user.uid),
                                         "--regid=" + std::to_string(user.gid), "--clear-groups"});
        const run_result probe =
            run_program({command[0], command[1], command[2], command[3], "true"}, dir.path());
        if (probe.status != 0) {
            GTEST_SKIP() << "the superuser runs the tests and setpriv cannot switch to nobody: "
                         << probe.err;
        }
    }
    run_result r = run_program(command, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "f" + empty_digest + " " + hex_mtime(dir / "secret") + " secret\n");
}

TEST(CubehashCommand, UsageAndHelp) {
    temp_dir dir;
    const std::string usage =
        "Usage: cubehash [-?] [--help] [--usage] [-C|--directory directory] filename(s)\n";
    const std::string help = usage +
                             "\nMain options:\n"
                             "\t-C, --directory directory Change to directory before doing "
                             "anything.\n";
    struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"--usage"}, usage},    {{"--usage", "x", "--bogus"}, usage},
        {{"--help"}, help},      {{"-?"}, help},
        {{"x", "--help"}, help},
    };
    for (const auto& c : cases) {
        run_result r = run_command("cubehash", c.args, dir.path());
        EXPECT_EQ(r.status, 0) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, "") << c.args[0];
    }
}

TEST(CubehashCommand, BadInputEndsWithAFatalLine) {
    temp_dir dir;
    struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{}, "cubehash: FATAL: No filenames supplied.\n"},
        {{"-C", "sub"}, "cubehash: FATAL: sub: No such file or directory\n"},
        {{"-C", "nowhere", "x"}, "cubehash: FATAL: nowhere: No such file or directory\n"},
        {{"--directory=sub", "x"}, "cubehash: FATAL: --directory=sub: unrecognized option\n"},
        {{"--frobnicate", "x"}, "cubehash: FATAL: --frobnicate: unrecognized option\n"},
        {{"-z", "x"}, "cubehash: FATAL: -z: unrecognized option(s)\n"},
        {{"x", "-C"}, "cubehash: FATAL: directory: missing option argument\n"},
        {{"--", "-C"}, ""},
    };
    for (const auto& c : cases) {
        run_result r = run_command("cubehash", c.args, dir.path());
        std::string label = c.args.empty() ? "(none)" : c.args[0];
        if (c.err.empty()) {
            EXPECT_EQ(r.status, 0) << label;
            EXPECT_EQ(r.out, "a-C\n") << label;
        } else {
            EXPECT_EQ(r.status, 1) << label;
            EXPECT_EQ(r.out, "") << label;
            EXPECT_EQ(r.err, c.err) << label;
        }
    }
}

TEST(Entry, ChoosesTheCommandByTheExactProgramName) {
    temp_dir dir;
    std::string binary = binary_dir() + "/ombu";
    for (const char* name : {"cubehash", "cubehash2", "CubeHash", "xcubehash"}) {
        ASSERT_EQ(symlink(binary.c_str(), (dir / name).c_str()), 0);
    }
    run_result r = run_program({dir / "cubehash", "nothere"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "anothere\n");
    r = run_program({"./cubehash", "nothere"}, dir.path());
    EXPECT_EQ(r.out, "anothere\n");

    for (const std::string name : {"cubehash2", "CubeHash", "xcubehash"}) {
        r = run_program({"./" + name, "nothere"}, dir.path());
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.out, "") << name;
        EXPECT_EQ(r.err, name + ": FATAL: " + name + ": Unknown function.\n") << name;
    }
}

// Records that never reach standard output are a failure: status 1 and one
// line naming it, however many records were lost.
TEST(CubehashCommand, OutputThatCannotBeWrittenFails) {
    temp_dir dir;
    write_file(dir / "abc", "abc");
    for (const std::string names : {"abc", "abc abc nothere"}) {
        run_result r = run_shell("cubehash " + names + " >/dev/full", dir.path());
        EXPECT_EQ(r.status, 1) << names;
        EXPECT_EQ(r.err, "cubehash: ERROR: standard output: No space left on device\n") << names;
    }
    run_result r = run_shell("cubehash --help >/dev/full", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cubehash: ERROR: standard output: No space left on device\n");
}

}  // namespace
}  // namespace ombu_test
