// ombu under make: every job-server token that ombu and its nested builds
// take goes back, after a failing script and after an interrupted build as
// after a good one. make counts its tokens when it exits and reports any that
// are missing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A make of version 4.4 or later (a job-server FIFO), named by OMBU_FIFO_MAKE
// or standing in the tools folder beside the project; empty when none is found.
std::string fifo_make() {
    std::vector<std::string> candidates;
    if (const char* named = std::getenv("OMBU_FIFO_MAKE")) candidates.push_back(named);
    candidates.push_back(std::string(OMBU_SOURCE_DIR) + "/../shared/tools/gnu-make-4.4.1/make");
    for (const auto& candidate : candidates) {
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

// Two recipes run ombu on trees of nested builds whose parts sleep a moment;
// one part fails when FAIL is set.
void write_project(const temp_dir& dir) {
    write_file(dir / "Makefile",
               "all: one two\n"
               "one:\n\t+ombu a\n"
               "two:\n\t+ombu -C sub b\n");
    for (const std::string& top : {dir.path(), dir / "sub"}) {
        write_file(top + "/a.do", "#!/bin/sh -e\nombu-ifchange p1 p2 p3 p4\n", 0755);
        write_file(top + "/b.do", "#!/bin/sh -e\nombu-ifchange q1 q2 q3\n", 0755);
        write_file(top + "/default.do",
                   "#!/bin/sh\ntouch started\n"
                   "sleep 0.5\n[ \"$1\" = \"$FAIL\" ] && exit 1\necho \"$1\" > \"$3\"\n",
                   0755);
    }
}

void expect_no_token_lost(const std::string& make) {
    {
        temp_dir dir;
        write_project(dir);
        run_result r = run_program({"timeout", "120", make, "-j4"}, dir.path(), {{"FAIL", "p2"}});
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_TRUE(contains(r.err, "p2: Not done.")) << r.err;
        EXPECT_FALSE(contains(r.err, "INTERNAL")) << r.err;
    }
    {
        temp_dir dir;
        write_project(dir);
        // SIGINT to the builds that make runs, once their scripts work (the
        // scripts of "ombu -C sub b" mark it in sub).
        run_result r = run_program(
            {"timeout", "120", "sh", "-c",
             "(exec env --default-signal=INT " + make +
                 " -j4 >make.out 2>make.err) & m=$!; "
                 "for i in $(seq 200); do [ -e started ] || [ -e sub/started ] && break; "
                 "sleep 0.05; done; "
                 "sleep 0.2; kill -INT $(pgrep -P $m); wait $m; echo $?"},
            dir.path());
        EXPECT_EQ(r.out, "2\n") << read_file(dir / "make.err");
        const std::string err = read_file(dir / "make.err");
        EXPECT_TRUE(contains(err, "Interrupt")) << err;
        EXPECT_FALSE(contains(err, "INTERNAL")) << err;
    }
}

// The system's make: a job-server pipe.
TEST(MakeTokens, NoneLostAfterAFailureOrAnInterruption) { expect_no_token_lost("make"); }

TEST(MakeTokens, NoneLostUnderAFifoJobServer) {
    const std::string make = fifo_make();
    if (make.empty()) {
        GTEST_SKIP() << "no make of version 4.4 or later (a job-server FIFO) found; set "
                        "OMBU_FIFO_MAKE to one";
    }
    expect_no_token_lost(make);
}

}  // namespace
}  // namespace ombu_test
