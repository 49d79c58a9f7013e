// The bundled example program, built with ombu step by step: a full build,
// a no-op, a touch without a change, a header edit, a deleted object.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

class ExampleBuild : public ::testing::Test {
protected:
    void SetUp() override {
        copy_example("hello", dir.path());
        // A compiler that logs what it is asked to make.
        write_file(
            dir / "logging-cc",
            "#!/bin/sh\n"
            "for a; do case \"$prev\" in -o) echo \"$a\" >> \"$CC_LOG\";; esac; prev=$a; done\n"
            "exec cc \"$@\"\n",
            0755);
        env = {{"CC", dir / "logging-cc"}, {"CC_LOG", dir / "cc.log"}};
    }

    // Builds all and returns the outputs the compiler was asked for, in order.
    std::string build() {
        std::remove((dir / "cc.log").c_str());
        run_result r = run_command("ombu", {"all"}, dir.path(), env);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        return read_file(dir / "cc.log");
    }

    std::string run_program_built() { return run_program({dir / "hello", "ombu"}, dir.path()).out; }

    temp_dir dir;
    env_list env;
};

TEST_F(ExampleBuild, RebuildsExactlyWhatChanged) {
    set_edited_ago(dir / "greet.c", 1000);
    set_edited_ago(dir / "greet.h", 1000);
    std::string first = build();
    EXPECT_NE(first.find("main.o.doing\n"), std::string::npos);
    EXPECT_NE(first.find("greet.o.doing\n"), std::string::npos);
    EXPECT_NE(first.find("count.o.doing\n"), std::string::npos);
    EXPECT_NE(first.find("hello.doing\n"), std::string::npos);
    EXPECT_EQ(run_program_built(), "Hello, ombu!\n(4 letters)\n");

    // Nothing changed: all.do runs (ombu rebuilds what it is named), nothing below it.
    EXPECT_EQ(build(), "");

    // A later modification time with the same contents changes nothing.
    set_edited_ago(dir / "greet.c", 900);
    set_edited_ago(dir / "greet.h", 900);
    EXPECT_EQ(build(), "");

    // The greeting header is read by main.c and greet.c, not by count.c.
    std::string header = read_file(dir / "greet.h");
    header.replace(header.find("\"Hello\""), 7, "\"Howdy\"");
    write_file(dir / "greet.h", header);
    set_edited_ago(dir / "greet.h", 800);
    std::string after_edit = build();
    EXPECT_NE(after_edit.find("main.o.doing\n"), std::string::npos) << after_edit;
    EXPECT_NE(after_edit.find("greet.o.doing\n"), std::string::npos) << after_edit;
    EXPECT_EQ(after_edit.find("count.o.doing\n"), std::string::npos) << after_edit;
    EXPECT_NE(after_edit.find("hello.doing\n"), std::string::npos) << after_edit;
    EXPECT_EQ(run_program_built(), "Howdy, ombu!\n(4 letters)\n");

    // A deleted object is rebuilt alone: it comes out the same, so the
    // program is not linked again.
    ASSERT_EQ(std::remove((dir / "count.o").c_str()), 0);
    EXPECT_EQ(build(), "count.o.doing\n");
    EXPECT_EQ(run_program_built(), "Howdy, ombu!\n(4 letters)\n");
}

TEST_F(ExampleBuild, ReportsEachRebuiltTargetUnlessSilent) {
    run_result r = run_command("ombu", {"all"}, dir.path(), env);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* target : {"main.o", "greet.o", "count.o", "hello", "all"}) {
        EXPECT_NE(r.err.find(std::string(": INFO: ") + target + ": Ombune.\n"), std::string::npos)
            << target << "\n"
            << r.err;
    }
    r = run_command("ombu", {"-s", "all"}, dir.path(), env);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace ombu_test
