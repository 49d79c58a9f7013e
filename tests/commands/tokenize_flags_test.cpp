#include "commands/tokenize_flags.hpp"

#include <gtest/gtest.h>

namespace ombu {
namespace {

struct tokenize_case {
    const char* text;
    bool leading_dash;
    std::vector<std::string> words;
};

TEST(TokenizeFlags, SplitsQuotesAndEscapes) {
    const tokenize_case cases[] = {
        {"", false, {}},
        {" \t\n\v\f\r", true, {}},
        {"ks -j4 --jobserver-auth=3,4", true, {"-ks", "-j4", "--jobserver-auth=3,4"}},
        {"ks -j4", false, {"ks", "-j4"}},
        // Only the first word gets the dash.
        {"n", true, {"-n"}},
        {"  a\tb\n", false, {"a", "b"}},
        {"\"a b\"", false, {"a b"}},
        {"x\"y z\"w", false, {"xy zw"}},
        // An empty pair of quotes is still a word.
        {"\"\"", false, {""}},
        {"\"\" a", true, {"-", "a"}},
        {"a\\ b \\\"c", false, {"a b", "\"c"}},
        {"a\\\\b", false, {"a\\b"}},
        {"a\\", false, {"a\\"}},
        // An unclosed quote runs to the end of the text.
        {"\"a b", false, {"a b"}},
        // Quoting is off again at the start of every word.
        {"\"a\" b", false, {"a", "b"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tokenize_flags(c.text, c.leading_dash), c.words)
            << "text [" << c.text << "] dash " << c.leading_dash;
    }
}

}  // namespace
}  // namespace ombu
