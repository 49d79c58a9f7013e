// The compile script of the hello example declares what the compiler read
// from the compiler's depfile, read by the shell alone: headers whose names
// the depfile escapes (a space, two spaces, "$", "#") and a rule long enough
// to go on over several lines are recorded under their real names, and a
// change to any one of them rebuilds the object that includes it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

// The headers that greet.c includes besides greet.h, each defining one
// number that the greeting prints.
const std::vector<std::string> awkward_headers = {
    "my header.h", "two  spaces.h",
    "cost$.h",     "no#1.h",
    "a$$b #c d.h", "a rather long header name that makes the rule go on over lines.h",
};

bool contains(const std::vector<std::string>& list, const std::string& name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

TEST(DepfileIdiom, HeadersWithEscapedNamesAreDeclaredAndRebuildTheirObject) {
    temp_dir dir;
    copy_example("hello", dir.path());
    std::string includes, sum = "0";
    for (std::size_t i = 0; i < awkward_headers.size(); ++i) {
        write_file(dir / awkward_headers[i], "#define PART" + std::to_string(i) + " 1\n");
        set_edited_ago(dir / awkward_headers[i], 1000);
        includes += "#include \"" + awkward_headers[i] + "\"\n";
        sum += " + PART" + std::to_string(i);
    }
    write_file(dir / "greet.c", includes +
                                    "#include <stdio.h>\n#include \"greet.h\"\n"
                                    "void greet(const char *name) { printf(\"%s, %s! %d\\n\", "
                                    "GREETING, name, " +
                                    sum + "); }\n");

    run_result r = run_command("ombu", {"all"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(run_program({dir / "hello", "ombu"}, dir.path()).out,
              "Hello, ombu! 6\n(4 letters)\n");
    // The depfile wraps its rule, so the shell has joined continued lines.
    EXPECT_NE(read_file(dir / "greet.d").find(" \\\n"), std::string::npos);
    const std::string records = read_file(dir / ".ombu/greet.o.prereqs");
    for (const std::string& name : {std::string("greet.c"), std::string("greet.h")})
        EXPECT_NE(records.find(" " + name + "\n"), std::string::npos) << name << "\n" << records;
    for (const std::string& header : awkward_headers)
        EXPECT_NE(records.find(" " + header + "\n"), std::string::npos) << header << "\n"
                                                                        << records;

    int ago = 900;
    for (std::size_t i = 0; i < awkward_headers.size(); ++i) {
        const std::string& header = awkward_headers[i];
        // A new time alone rebuilds nothing below all.
        set_edited_ago(dir / header, ago--);
        r = run_command("ombu", {"all"}, dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(rebuilt_targets(r.err), std::vector<std::string>{"all"}) << header;

        write_file(dir / header, "#define PART" + std::to_string(i) + " 2\n");
        set_edited_ago(dir / header, ago--);
        r = run_command("ombu", {"all"}, dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> rebuilt = rebuilt_targets(r.err);
        EXPECT_TRUE(contains(rebuilt, "greet.o")) << header << "\n" << r.err;
        EXPECT_FALSE(contains(rebuilt, "main.o") || contains(rebuilt, "count.o")) << header << "\n"
                                                                                  << r.err;
        EXPECT_EQ(run_program({dir / "hello", "ombu"}, dir.path()).out,
                  "Hello, ombu! " + std::to_string(7 + i) + "\n(4 letters)\n")
            << header;
    }
}

}  // namespace
}  // namespace ombu_test
