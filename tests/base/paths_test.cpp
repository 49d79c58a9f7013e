#include "base/paths.hpp"

#include <gtest/gtest.h>

namespace ombu {
namespace {

TEST(IsDirectoryReference, LastComponentEmptyDotOrDotDot) {
    struct case_t {
        const char* name;
        bool reference;
    } cases[] = {
        {"/", true},     {"", true},     {".", true},    {"..", true},  {"a/", true},
        {"a/.", true},   {"a/..", true}, {"//", true},   {"/..", true}, {"a", false},
        {".a", false},   {"...", false}, {"a/b", false}, {"/a", false}, {"./a", false},
        {"../a", false}, {"a..", false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_directory_reference(c.name), c.reference) << c.name;
}

}  // namespace
}  // namespace ombu
