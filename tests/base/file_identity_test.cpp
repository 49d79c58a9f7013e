#include "base/file_identity.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "support/scratch.hpp"

namespace ombu {
namespace {

using ombu_unit::put_file;
using ombu_unit::scratch_directory;

// A name and a descriptor give one identity for one file, whatever it is
// called; another file, or a link to it (not followed), is another identity.
TEST(FileIdentity, OneFileOneIdentity) {
    scratch_directory scratch;
    put_file("a");
    put_file("b");
    ASSERT_EQ(link("a", "hard"), 0);
    ASSERT_EQ(symlink("a", "soft"), 0);
    const auto a = identity_of_name("a");
    ASSERT_TRUE(a.has_value());

    const int fd = open("a", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    file_identity from_fd;
    EXPECT_TRUE(identity_of(fd, from_fd));
    EXPECT_EQ(from_fd, *a);

    EXPECT_EQ(identity_of_name("hard"), a);
    EXPECT_NE(identity_of_name("b"), a);
    EXPECT_NE(identity_of_name("soft"), a);
    ASSERT_EQ(std::rename("a", "renamed"), 0);
    EXPECT_EQ(identity_of_name("renamed"), a);
    EXPECT_FALSE(identity_of_name("a").has_value());

    close(fd);
    EXPECT_FALSE(identity_of(fd, from_fd));
}

}  // namespace
}  // namespace ombu
