#include "base/input_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <string>

#include "support/scratch.hpp"

namespace ombu {
namespace {

using ombu_unit::put_file;
using ombu_unit::scratch_directory;

// The descriptor that names path in this process, or -1.
int descriptor_of(const std::string& path) {
    for (int fd = 0; fd < 1024; ++fd) {
        char target[PATH_MAX] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && path == target) return fd;
    }
    return -1;
}

TEST(InputFile, ReadsAFileThroughAStreamWithACloseOnExecDescriptor) {
    scratch_directory scratch;
    // Longer than one buffer, so reading goes on past the first fill.
    std::string content;
    for (int i = 0; i < 3000; ++i) content += "line " + std::to_string(i) + "\n";
    put_file("records", content);

    input_file in;
    ASSERT_TRUE(in.open("records"));
    EXPECT_TRUE(in.is_open());
    const int fd = descriptor_of(scratch.path() + "/records");
    ASSERT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

    std::string read_back, line;
    while (std::getline(in, line)) read_back += line + "\n";
    EXPECT_EQ(read_back, content);
    EXPECT_TRUE(in.eof());
    EXPECT_FALSE(in.bad());

    in.close();
    EXPECT_FALSE(in.is_open());
    EXPECT_EQ(descriptor_of(scratch.path() + "/records"), -1);
}

// The file is read in one piece as long as its status at the opening said;
// what was appended after the opening is still read, and the status is the
// opened file's.
TEST(InputFile, ReadsPastTheLengthKnownAtTheOpening) {
    scratch_directory scratch;
    put_file("grows", "first\n");
    input_file in;
    ASSERT_TRUE(in.open("grows"));
    EXPECT_EQ(in.status().st_size, 6);
    EXPECT_TRUE(S_ISREG(in.status().st_mode));
    {
        std::ofstream append("grows", std::ios::app);
        append << "second\n";
    }
    std::string read_back, line;
    while (std::getline(in, line)) read_back += line + "\n";
    EXPECT_EQ(read_back, "first\nsecond\n");
}

TEST(InputFile, FileThatCannotBeOpenedLeavesTheStreamFailed) {
    scratch_directory scratch;
    input_file in;
    EXPECT_FALSE(in.open("missing"));
    EXPECT_FALSE(in.is_open());
    EXPECT_TRUE(in.fail());
    // Opening again starts afresh.
    put_file("present", "x");
    ASSERT_TRUE(in.open("present"));
    EXPECT_TRUE(in.good());
    EXPECT_EQ(in.get(), 'x');
    EXPECT_EQ(in.get(), EOF);
}

}  // namespace
}  // namespace ombu
