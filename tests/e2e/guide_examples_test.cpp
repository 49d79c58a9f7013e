// The examples that the guide quotes, each built from a copy with the built
// executable: a C program with a generated header and a generated source, a
// page made from text files, and make run inside a script within ombu's job
// slots.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

using names = std::vector<std::string>;

names sorted(names list) {
    std::sort(list.begin(), list.end());
    return list;
}

class GuideExample : public ::testing::Test {
protected:
    // Builds the given targets in the copy; the targets reported rebuilt, sorted.
    names build(const std::vector<std::string>& args) {
        run_result r = run_command("ombu", args, dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        return sorted(rebuilt_targets(r.err));
    }

    temp_dir dir;
};

TEST_F(GuideExample, GeneratedHeaderAndSourceRebuildExactlyWhatDependsOnThem) {
    copy_example("generated", dir.path());
    // The object that includes the generated header names it before it is
    // compiled, so a clean build finds it made.
    EXPECT_EQ(build({"all"}),
              sorted({"version.h", "gen", "table.c", "main.o", "table.o", "squares", "all"}));
    EXPECT_EQ(run_program({dir / "squares"}, dir.path()).out,
              "squares 1.2.0: the first 10 add up to 285\n");

    EXPECT_EQ(build({"all"}), names{"all"});

    write_file(dir / "VERSION", "1.3.0\n");
    EXPECT_EQ(build({"all"}), sorted({"version.h", "main.o", "squares", "all"}));
    EXPECT_EQ(run_program({dir / "squares"}, dir.path()).out,
              "squares 1.3.0: the first 10 add up to 285\n");

    // A new generator rebuilds what it generates, and what is compiled from that.
    std::string generator = read_file(dir / "gen.c");
    generator.replace(generator.find("count = 10"), 10, "count = 4");
    write_file(dir / "gen.c", generator);
    EXPECT_EQ(build({"all"}), sorted({"gen", "table.c", "table.o", "squares", "all"}));
    EXPECT_EQ(run_program({dir / "squares"}, dir.path()).out,
              "squares 1.3.0: the first 4 add up to 14\n");
}

TEST_F(GuideExample, DocumentRebuildsTheEditedChapterAndThePageOnly) {
    copy_example("document", dir.path());
    EXPECT_EQ(build({"all"}),
              sorted({"soil.html", "planting.html", "harvest.html", "page.html", "all"}));
    const std::string page = read_file(dir / "page.html");
    EXPECT_NE(page.find("<title>Notes on the garden</title>"), std::string::npos) << page;
    const auto soil = page.find("<h2>Soil</h2>");
    const auto planting = page.find("<h2>Planting</h2>");
    const auto harvest = page.find("<h2>Harvest</h2>");
    EXPECT_TRUE(soil < planting && planting < harvest && harvest != std::string::npos) << page;
    EXPECT_NE(page.find("compost each autumn &amp; leave"), std::string::npos) << page;

    EXPECT_EQ(build({"all"}), names{"all"});

    write_file(dir / "planting.txt", "Planting\nSow thinly.\n");
    EXPECT_EQ(build({"all"}), sorted({"planting.html", "page.html", "all"}));
    EXPECT_NE(read_file(dir / "page.html").find("<p>\nSow thinly.\n</p>"), std::string::npos);
}

// The most recipes of the sub-make that ran at once, from its start and end lines.
int most_at_once(const std::string& log) {
    std::istringstream lines(log);
    int running = 0, most = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("start ")) most = std::max(most, ++running);
        if (line.starts_with("end ")) --running;
    }
    EXPECT_EQ(running, 0) << log;
    return most;
}

TEST_F(GuideExample, MakeInsideAScriptRunsWithinOmbusJobSlots) {
    copy_example("make-inside", dir.path());
    struct row {
        std::vector<std::string> args;
        int fewest, most;
    };
    for (const row& r :
         {row{{"-j3", "parts"}, 2, 3}, row{{"-j1", "parts"}, 1, 1}, row{{"parts"}, 1, 1}}) {
        run_result built = run_command("ombu", r.args, dir.path());
        ASSERT_EQ(built.status, 0) << built.err;
        // No word from make about the job server, nor anything else.
        EXPECT_EQ(built.err, "ombu: INFO: parts: Ombune.\n") << r.args[0];
        const int at_once = most_at_once(read_file(dir / "make.log"));
        EXPECT_GE(at_once, r.fewest) << r.args[0];
        EXPECT_LE(at_once, r.most) << r.args[0];
        EXPECT_EQ(read_file(dir / "parts"),
                  "part1 made by make\npart2 made by make\npart3 made by make\n"
                  "part4 made by make\n");
        for (const char* part : {"part1", "part2", "part3", "part4"}) {
            ASSERT_EQ(std::remove((dir / part).c_str()), 0);
        }
    }
}

}  // namespace
}  // namespace ombu_test
