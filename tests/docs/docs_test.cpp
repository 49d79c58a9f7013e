// What a user installs and reads: the manual pages render without a warning
// and name every option of their command, the bash completion offers what
// the commands accept, and an install into a fresh prefix holds, lists and
// runs all of it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

const std::vector<std::string> commands{"ombu", "ombu-ifchange", "ombu-ifcreate", "cubehash"};

std::string source(const std::string& path) { return std::string(OMBU_SOURCE_DIR) + "/" + path; }

bool groff_installed() { return run_shell("command -v groff", "/").status == 0; }

// Renders a manual page with every warning on; the warnings, or the failure.
std::string render_problems(const std::string& page) {
    const run_result r = run_program({"groff", "-man", "-ww", "-z", page}, "/");
    return r.status == 0 ? r.err : "status " + std::to_string(r.status) + ": " + r.err;
}

TEST(ManualPages, RenderWithoutWarnings) {
    if (!groff_installed()) GTEST_SKIP() << "groff is not installed (Debian package groff-base)";
    for (const auto& command : commands) {
        EXPECT_EQ(render_problems(source("docs/man/" + command + ".1")), "") << command;
    }
}

// The long options that --help lists, as a page writes them (\-\-keep\-going).
TEST(ManualPages, NameEveryOptionOfTheirCommand) {
    for (const auto& command : commands) {
        const run_result help = run_command(command, {"--help"}, "/");
        ASSERT_EQ(help.status, 0);
        const std::string page = read_file(source("docs/man/" + command + ".1"));
        std::vector<std::string> options{"--help", "--usage"};
        for (auto at = help.out.find("\t"); at != std::string::npos;
             at = help.out.find("\t", at + 1)) {
            const auto start = help.out.find("--", at);
            if (start == std::string::npos) break;
            options.push_back(help.out.substr(start, help.out.find_first_of(" \n", start) - start));
        }
        for (const auto& option : options) {
            std::string written;
            for (char c : option) written += c == '-' ? std::string("\\-") : std::string(1, c);
            EXPECT_NE(page.find(written), std::string::npos)
                << command << ".1 does not mention " << option;
        }
    }
}

// The guide quotes an example file as a line "`examples/...`:", an empty
// line and a fenced block: the block must be the file as it is.
TEST(Guide, QuotesTheExamplesAsTheyAre) {
    std::istringstream guide(read_file(source("docs/guide.md")));
    std::vector<std::string> lines;
    for (std::string line; std::getline(guide, line);) lines.push_back(line);
    int quoted = 0;
    for (std::size_t i = 0; i + 2 < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (!line.starts_with("`examples/") || !line.ends_with("`:")) continue;
        ASSERT_TRUE(lines[i + 1].empty() && lines[i + 2].starts_with("```")) << line;
        std::string block;
        std::size_t j = i + 3;
        for (; j < lines.size() && lines[j] != "```"; ++j) block += lines[j] + "\n";
        ASSERT_LT(j, lines.size()) << line << ": the block does not end";
        const std::string file = line.substr(1, line.size() - 3);
        EXPECT_EQ(block, read_file(source(file))) << file;
        ++quoted;
    }
    EXPECT_GT(quoted, 0);
}

TEST(BashCompletion, OffersOptionsAndTargets) {
    if (run_shell("command -v bash", "/").status != 0) GTEST_SKIP() << "bash is not installed";
    temp_dir dir;
    const run_result r = run_program({"bash", source("tests/docs/completion_cases.sh"),
                                      source("completion/ombu.bash"), binary_dir()},
                                     dir.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
}

TEST(Install, ListsAndRunsEverythingInstalled) {
    temp_dir prefix;
    const run_result installed = run_program(
        {OMBU_CMAKE_COMMAND, "--install", OMBU_BUILD_DIR, "--prefix", prefix.path()}, "/");
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err;

    // One installed path a line, the last one without a line feed.
    const std::string manifest =
        read_file(std::string(OMBU_BUILD_DIR) + "/install_manifest.txt") + "\n";
    std::vector<std::string> wanted{"share/doc/ombu/guide.md"};
    for (const auto& command : commands) {
        wanted.push_back("bin/" + command);
        wanted.push_back("share/man/man1/" + command + ".1");
        wanted.push_back("share/bash-completion/completions/" + command);
    }
    for (const auto& file : wanted) {
        EXPECT_NE(manifest.find(prefix / file + "\n"), std::string::npos)
            << file << " not listed in\n"
            << manifest;
        EXPECT_TRUE(exists(prefix / file)) << file;
    }

    // The installed commands build the bundled example, found on the path.
    temp_dir project;
    copy_example("hello", project.path());
    const env_list path{{"PATH", prefix / "bin" + ":/usr/bin:/bin"}};
    const run_result built = run_program({prefix / "bin/ombu", "-s", "all"}, project.path(), path);
    EXPECT_EQ(built.status, 0) << built.err;
    EXPECT_EQ(run_program({project / "hello"}, project.path()).out, "Hello, world!\n(5 letters)\n");
    const run_result hashed =
        run_program({prefix / "bin/cubehash", "main.c"}, project.path(), path);
    EXPECT_EQ(hashed.status, 0);
    EXPECT_EQ(hashed.out.substr(0, 1), "f");
    EXPECT_TRUE(hashed.out.ends_with(" main.c\n")) << hashed.out;

    // The completion loads under each name, as bash-completion looks it up.
    for (const auto& command : commands) {
        const run_result loaded =
            run_program({"bash", "-c", "source \"$0\" && complete -p " + command,
                         prefix / "share/bash-completion/completions/" + command},
                        "/");
        EXPECT_EQ(loaded.status, 0) << loaded.err;
    }

    if (!groff_installed()) GTEST_SKIP() << "groff is not installed (Debian package groff-base)";
    for (const auto& command : commands) {
        EXPECT_EQ(render_problems(prefix / "share/man/man1/" + command + ".1"), "") << command;
    }
}

}  // namespace
}  // namespace ombu_test
