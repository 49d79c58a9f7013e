#include <gtest/gtest.h>

#include "jobserver/jobserver.hpp"
#include "support/scratch.hpp"

namespace ombu {
namespace {

using ombu_unit::captured_log;

struct fd_list_case {
    const char* text;
    int count;
    bool ok;
    int first, second;  // expected slots on success
    const char* error;  // the whole line on failure
};

TEST(ParseFdList, ReadsListsAndReportsWhereTheyGoWrong) {
    const fd_list_case cases[] = {
        {"3,4", 2, true, 3, 4, nullptr},
        {"7", 2, true, 7, 7, nullptr},
        {"0x3,010", 2, true, 3, 8, nullptr},
        {" 3, 4", 2, true, 3, 4, nullptr},
        {"2147483647", 1, true, 2147483647, -9, nullptr},
        {"5", 1, true, 5, -9, nullptr},
        {"3,", 2, false, 0, 0, "ombu: ERROR: 3,: : File descriptor number not supplied.\n"},
        {"", 2, false, 0, 0, "ombu: ERROR: : : File descriptor number not supplied.\n"},
        {"3 ,4", 2, false, 0, 0, "ombu: ERROR: 3 ,4:  ,4: Missing comma.\n"},
        {"3;4", 2, false, 0, 0, "ombu: ERROR: 3;4: ;4: Missing comma.\n"},
        {"3,4,5", 2, false, 0, 0,
         "ombu: ERROR: 3,4,5: ,5: Trailing junk after file descriptor(s).\n"},
        {"3x", 2, false, 0, 0, "ombu: ERROR: 3x: x: Missing comma.\n"},
        {"2147483648", 2, false, 0, 0,
         "ombu: ERROR: 2147483648: : File descriptor number too large.\n"},
        // Numbers below the range of int would wrap to other descriptors.
        {"-4294967295", 1, false, 0, 0,
         "ombu: ERROR: -4294967295: : File descriptor number too large.\n"},
        {"3,-2147483649", 2, false, 0, 0,
         "ombu: ERROR: 3,-2147483649: : File descriptor number too large.\n"},
        {"-99999999999999999999", 1, false, 0, 0,
         "ombu: ERROR: -99999999999999999999: : File descriptor number too large.\n"},
        {"-2147483648", 1, true, -2147483647 - 1, -9, nullptr},
        {"fifo:/tmp/jobs", 2, false, 0, 0,
         "ombu: ERROR: fifo:/tmp/jobs: fifo:/tmp/jobs: File descriptor number not supplied.\n"},
        {"5,6", 1, false, 0, 0, "ombu: ERROR: 5,6: ,6: Trailing junk after file descriptor(s).\n"},
    };
    for (const auto& c : cases) {
        int fds[2] = {-9, -9};
        captured_log log;
        bool ok = parse_fd_list("ombu", c.text, fds, c.count);
        EXPECT_EQ(ok, c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(fds[0], c.first) << c.text;
            EXPECT_EQ(fds[1], c.second) << c.text;
            EXPECT_EQ(log.str(), "") << c.text;
        } else {
            EXPECT_EQ(log.str(), c.error) << c.text;
        }
    }
}

TEST(ParseFdList, SlotsStoredBeforeAFailureKeepTheirValues) {
    int fds[2] = {-9, -9};
    captured_log log;
    EXPECT_FALSE(parse_fd_list("ombu", "3,x", fds, 2));
    EXPECT_EQ(fds[0], 3);
    EXPECT_EQ(fds[1], -9);
}

}  // namespace
}  // namespace ombu
