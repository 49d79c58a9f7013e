// Parallel builds: job slots from -j, from GNU make's job server, shared with
// nested builds; and two builds of one tree started at once.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

int count_lines(const std::string& text, const std::string& word) {
    std::istringstream lines(text);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) count += line.rfind(word, 0) == 0;
    return count;
}

const char* const work =
    "echo \"start $1\" >> \"$WORK_LOG\"; sleep 0.2; echo \"end $1\" >> \"$WORK_LOG\"\n";

// all depends on t1..tN; each t<i> first brings u<i> up to date in a nested
// build, then works; each u<i> works. A script logs only its own work, so a
// t waiting for its nested build is not counted.
void write_tree(const std::string& dir, int targets) {
    std::string all = "#!/bin/sh -e\nombu-ifchange";
    for (int i = 1; i <= targets; ++i) all += " t" + std::to_string(i);
    write_file(dir + "/all.do", all + "\n", 0755);
    write_file(dir + "/default.do",
               std::string("#!/bin/sh -e\n"
                           "case $1 in\n"
                           "t*) ombu-ifchange u${1#t}\n") +
                   work + "    ;;\n*) " + work + "    ;;\nesac\n",
               0755);
}

// Runs ombu with args in dir and returns the work log of its scripts.
std::string build_logging_work(const temp_dir& dir, const std::vector<std::string>& args) {
    run_result r = run_command("ombu", args, dir.path(), {{"WORK_LOG", dir / "work.log"}});
    EXPECT_EQ(r.status, 0) << r.err;
    return read_file(dir / "work.log");
}

// Forty scripts did their work, at most four (and, with brief pauses, about
// four) at a time.
void expect_forty_about_four_at_a_time(const std::string& log) {
    EXPECT_EQ(count_lines(log, "start"), 40);
    EXPECT_EQ(count_lines(log, "end"), 40);
    int most = most_at_once(log);
    EXPECT_LE(most, 4) << log;
    EXPECT_GE(most, 3) << log;
}

TEST(ParallelBuild, JobsOptionBoundsIndependentScripts) {
    temp_dir dir;
    std::string all = "#!/bin/sh -e\nombu-ifchange";
    for (int i = 1; i <= 40; ++i) all += " u" + std::to_string(i);
    write_file(dir / "all.do", all + "\n", 0755);
    write_file(dir / "default.do", std::string("#!/bin/sh -e\n") + work, 0755);
    expect_forty_about_four_at_a_time(build_logging_work(dir, {"-j4", "all"}));
}

TEST(ParallelBuild, JobsOptionBoundsScriptsAcrossNestedBuilds) {
    temp_dir dir;
    write_tree(dir.path(), 20);
    expect_forty_about_four_at_a_time(build_logging_work(dir, {"-j4", "all"}));
}

TEST(ParallelBuild, WithoutJobsOneScriptAtATime) {
    temp_dir dir;
    write_tree(dir.path(), 4);
    EXPECT_EQ(most_at_once(build_logging_work(dir, {"all"})), 1);
}

// make -j4 runs ombu in a sub-directory; the scripts share make's slots.
void make_project(const std::string& dir, const std::string& recipe_prefix) {
    write_file(dir + "/Makefile", "all:\n\t" + recipe_prefix + "ombu -C sub all\n");
    write_tree(dir + "/sub", 12);
}

TEST(ParallelBuild, SharesTheSlotsOfMakesJobServer) {
    temp_dir dir;
    make_project(dir.path(), "+");
    env_list env = {{"WORK_LOG", dir / "work.log"}};
    run_result r = run_program({"make", "-j4"}, dir.path(), env);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string log = read_file(dir / "work.log");
    EXPECT_EQ(count_lines(log, "start"), 24);
    int most = most_at_once(log);
    EXPECT_LE(most, 4) << log;
    EXPECT_GE(most, 2) << log;
    // make counts its tokens at its end: every one came back.
    EXPECT_EQ(r.err.find("INTERNAL"), std::string::npos) << r.err;
}

TEST(ParallelBuild, UnderMakeWithClosedJobServerRunsSerially) {
    temp_dir dir;
    make_project(dir.path(), "");
    env_list env = {{"WORK_LOG", dir / "work.log"}};
    run_result r = run_program({"make", "-j4"}, dir.path(), env);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string log = read_file(dir / "work.log");
    EXPECT_EQ(count_lines(log, "start"), 24);
    EXPECT_EQ(most_at_once(log), 1) << log;
    EXPECT_EQ(r.err.find("INTERNAL"), std::string::npos) << r.err;
    // One warning, from the build that found the descriptors unusable (before
    // it takes its nesting tag).
    EXPECT_EQ(count_lines(r.err, "ombu: WARNING: "), 1) << r.err;
}

TEST(ParallelBuild, TwoBuildsOfOneTreeAtOnce) {
    temp_dir dir;
    // Each target's content is its name, after a moment's work.
    std::string all = "#!/bin/sh -e\nombu-ifchange";
    for (int i = 1; i <= 8; ++i) all += " t" + std::to_string(i);
    write_file(dir / "all.do", all + "\ncat t* > \"$3\"\n", 0755);
    write_file(dir / "default.do",
               "#!/bin/sh -e\nombu-ifchange default.do\nsleep 0.1\necho \"$1\" > \"$3\"\n", 0755);
    ASSERT_EQ(mkdir((dir / ".ombu").c_str(), 0777), 0);

    pid_t first = fork();
    if (first == 0) {
        run_result r = run_command("ombu-ifchange", {"-j2", "all"}, dir.path());
        _exit(r.status);
    }
    run_result second = run_command("ombu-ifchange", {"-j2", "all"}, dir.path());
    int status = 0;
    ASSERT_EQ(waitpid(first, &status, 0), first);

    // Run from a shell, not from a script: both build, then refuse to record.
    const std::string refusal = "ombu-ifchange: ERROR: Not invoked within a .do script.\n";
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find(refusal), std::string::npos) << second.err;

    std::string expected;
    for (int i = 1; i <= 8; ++i) {
        std::string name = "t" + std::to_string(i);
        EXPECT_EQ(read_file(dir / name), name + "\n");
        expected += name + "\n";
    }
    EXPECT_EQ(read_file(dir / "all"), expected);
    // Every prerequisites file is whole: well-formed records only, ending in a
    // line feed, each target's own script among them.
    const std::regex record("(a.+|[sd][0-9a-f]+ .+|f[0-9a-f]{64} [0-9a-f]+ .+)");
    for (int i = 1; i <= 8; ++i) {
        std::string prereqs = read_file(dir / (".ombu/t" + std::to_string(i) + ".prereqs"));
        ASSERT_FALSE(prereqs.empty());
        EXPECT_EQ(prereqs.back(), '\n');
        std::istringstream lines(prereqs);
        std::string line;
        int scripts = 0;
        while (std::getline(lines, line)) {
            EXPECT_TRUE(std::regex_match(line, record)) << line;
            scripts += line.size() > 11 && line.compare(line.size() - 11, 11, " default.do") == 0;
        }
        EXPECT_EQ(scripts, 2) << prereqs;  // found by the search, and declared by the script
    }
}

}  // namespace
}  // namespace ombu_test
