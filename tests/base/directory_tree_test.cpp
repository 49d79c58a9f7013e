#include "base/directory_tree.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "support/scratch.hpp"
#include "support/unprivileged.hpp"

namespace ombu {
namespace {

using ombu_unit::put_file;
using ombu_unit::scratch_directory;

bool exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

TEST(RemoveTree, RefusesDirectoryReferencesAndTouchesNothing) {
    scratch_directory scratch;
    put_file("d/keep");
    put_file("d/sub/keep");
    for (const char* path : {"/", ".", "..", "d/", "d/.", "d/sub/..", "d//", ""}) {
        errno = 0;
        EXPECT_EQ(remove_tree(path), -1) << path;
        EXPECT_EQ(errno, EINVAL) << path;
    }
    EXPECT_TRUE(exists("d/keep"));
    EXPECT_TRUE(exists("d/sub/keep"));
}

TEST(RemoveTree, RemovesFilesAndWholeTrees) {
    scratch_directory scratch;
    put_file("file");
    put_file("tree/a");
    put_file("tree/sub/b");
    put_file("tree/sub/deeper/c");
    std::filesystem::create_directory("tree/empty");
    ASSERT_EQ(mkfifo("tree/sub/fifo", 0600), 0);

    EXPECT_EQ(remove_tree("file"), 0);
    EXPECT_FALSE(exists("file"));
    EXPECT_EQ(remove_tree("tree"), 0);
    EXPECT_FALSE(exists("tree"));

    errno = 0;
    EXPECT_EQ(remove_tree("missing"), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(RemoveTree, NeverFollowsSymbolicLinks) {
    scratch_directory scratch;
    put_file("outside/precious");
    ASSERT_EQ(symlink("outside", "link"), 0);
    put_file("tree/file");
    ASSERT_EQ(symlink("../outside", "tree/inner_link"), 0);
    ASSERT_EQ(symlink("nowhere", "tree/dangling"), 0);

    EXPECT_EQ(remove_tree("link"), 0);  // the link itself, not the directory
    EXPECT_FALSE(exists("link"));
    EXPECT_EQ(remove_tree("tree"), 0);
    EXPECT_FALSE(exists("tree"));
    EXPECT_TRUE(exists("outside/precious"));
}

TEST(RemoveTree, AFailedRemovalEndsTheWalkWithItsError) {
    scratch_directory scratch;
    // Made by the user that removes, so that only the one directory's
    // permissions stand in the way.
    const auto run = ombu_unit::run_unprivileged([] {
        put_file("tree/locked/file");
        chmod("tree/locked", 0500);
        errno = 0;
        const int removed = remove_tree("tree");
        const std::string result = std::to_string(removed) + " " + std::strerror(errno) +
                                   (exists("tree/locked/file") ? " kept" : " gone");
        chmod("tree/locked", 0700);
        return result;
    });
    if (run.skipped) GTEST_SKIP() << run.reason;
    EXPECT_EQ(run.reason, "");
    EXPECT_EQ(run.output, std::string("-1 ") + std::strerror(EACCES) + " kept");
}

TEST(MakeDirectories, MakesParentsFirstAndIgnoresFailures) {
    scratch_directory scratch;
    make_directories(".ombu/a/b");
    EXPECT_TRUE(is_directory(".ombu"));
    EXPECT_TRUE(is_directory(".ombu/a"));
    EXPECT_TRUE(is_directory(".ombu/a/b"));

    // Everything there already, an empty path, doubled slashes: silently fine.
    make_directories(".ombu/a/b");
    make_directories("");
    make_directories(".ombu//tmp");
    EXPECT_TRUE(is_directory(".ombu/tmp"));

    // A file in the way stops the making without a word.
    put_file("file");
    make_directories("file/x/y");
    EXPECT_FALSE(is_directory("file/x"));
}

}  // namespace
}  // namespace ombu
