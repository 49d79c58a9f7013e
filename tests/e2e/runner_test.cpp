// Script lookup and launch as seen from the build commands: which script runs,
// with which arguments, directory and environment, and how the search itself
// makes a target out of date.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

std::vector<std::string> lines_starting(const std::string& text, const std::string& start) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(start)) lines.push_back(line);
    }
    return lines;
}

// Gives a file a modification time in a later second, as an edit made then would.
void age_forward(const std::string& path) {
    struct stat status;
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    struct timeval times[2] = {{status.st_mtime + 10, 0}, {status.st_mtime + 10, 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0);
}

// Each script appends "<which> <arguments> <directory>" to run.log and writes
// the same line as the target.
std::string logging_script(const std::string& which) {
    return "#!/bin/sh\n"
           "line=\"" +
           which +
           " $1 $2 $3 $(pwd -P)\"\n"
           "echo \"$line\" >> run.log\n"
           "echo \"$line\" > \"$3\"\n";
}

TEST(ScriptSearch, TheMostSpecificScriptWinsAndTheSearchIsAPrerequisite) {
    temp_dir dir;
    write_file(dir / "all.do", "#!/bin/sh\nombu-ifchange sub/x.o\n", 0755);
    write_file(dir / "default.o.do", logging_script("default"), 0755);
    write_file(dir / "sub/keep", "");
    const std::string here = std::filesystem::canonical(dir.path()).string();
    auto build = [&] {
        std::remove((dir / "run.log").c_str());
        run_result r = run_command("ombu", {"all"}, dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        return read_file(dir / "run.log");
    };

    // Found two levels up; arguments keep the target's directory; the script
    // runs in the build's directory.
    const std::string by_default = "default sub/x .o sub/x.o.doing " + here + "\n";
    EXPECT_EQ(build(), by_default);
    EXPECT_EQ(read_file(dir / "sub/x.o"), by_default);
    EXPECT_EQ(build(), "");

    // A more specific script that appears takes over at once.
    write_file(dir / "sub/default.o.do", logging_script("sub-default"), 0755);
    EXPECT_EQ(build(), "sub-default sub/x .o sub/x.o.doing " + here + "\n");
    write_file(dir / "sub/x.o.do", logging_script("own"), 0755);
    const std::string by_own = "own sub/x.o  sub/x.o.doing " + here + "\n";
    EXPECT_EQ(build(), by_own);
    EXPECT_EQ(build(), "");

    // An edit of the script used rebuilds; the removal of it falls back.
    write_file(dir / "sub/x.o.do", logging_script("edited"), 0755);
    age_forward(dir / "sub/x.o.do");
    EXPECT_EQ(build(), "edited sub/x.o  sub/x.o.doing " + here + "\n");
    std::remove((dir / "sub/x.o.do").c_str());
    EXPECT_EQ(build(), "sub-default sub/x .o sub/x.o.doing " + here + "\n");
}

TEST(ScriptSearch, ScriptsThatCannotRun) {
    struct case_t {
        const char* what;
        const char* script;  // written as hello.do
        unsigned mode;
        std::vector<std::string> errors;
    } cases[] = {
        {"no script",
         nullptr,
         0,
         {"ombu: ERROR: hello: Cannot find .do file to use.",
          "ombu: INFO: hello: No file of this name exists either: is the name misspelt?"}},
        {"not executable",
         "#!/bin/sh\necho hi > \"$3\"\n",
         0644,
         {"hello.do: Permission denied", "ombu: ERROR: hello: Not done.",
          "ombu: INFO: hello.do: Scripts must be executable: chmod +x on it lets ombu start it."}},
        {"no interpreter line",
         "echo hi > \"$3\"\n",
         0755,
         {"hello.do: Exec format error", "ombu: ERROR: hello: Not done.",
          "ombu: INFO: hello.do: A script's first line names its interpreter, as in #!/bin/sh."}},
        {"missing interpreter",
         "#!/no/such/shell\n",
         0755,
         {"hello.do: No such file or directory", "ombu: ERROR: hello: Not done."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir dir;
        if (c.script != nullptr) write_file(dir / "hello.do", c.script, c.mode);
        run_result r = run_command("ombu", {"hello"}, dir.path());
        EXPECT_EQ(r.status, 1);
        std::istringstream lines(r.err);
        std::vector<std::string> errors;
        for (std::string line; std::getline(lines, line);) errors.push_back(line);
        EXPECT_EQ(errors, c.errors);
        EXPECT_FALSE(exists(dir / "hello"));
        EXPECT_FALSE(exists(dir / "hello.doing"));
    }
}

// A run in a directory below the one its build runs from, and a target whose
// records are gone, each get one line that says what to do; a catch-all
// default.do is no sign of either.
TEST(ScriptSearch, RunsFromTheWrongDirectoryAreExplained) {
    temp_dir dir;
    write_file(dir / "default.o.do", "#!/bin/sh\necho \"$2\" > \"$3\"\n", 0755);
    write_file(dir / "lib/libgeo.a.do",
               "#!/bin/sh -e\nd=$(dirname \"$1\")\nombu-ifchange \"$d/geo.o\" \"$d/point.o\"\n"
               "cat \"$d/geo.o\" \"$d/point.o\" > \"$3\"\n",
               0755);
    write_file(dir / "all.do", "#!/bin/sh\nombu-ifchange lib/libgeo.a\n", 0755);
    write_file(dir / "default.do", "#!/bin/sh\n", 0755);
    write_file(dir / "README", "");
    const std::string above =
        ": The build in .. makes it (../default.o.do): run ombu with -C .. from here, or in .. "
        "itself.\n";
    const std::string remove =
        "all: A file without build records counts as a source, which ombu leaves alone: remove "
        "it to have all.do make it.\n";
    struct case_t {
        const char* what;
        const char* first;  // a shell command run first in the project, or null
        std::string cwd;
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {"objects of the build above, not built yet",
         nullptr,
         "lib",
         {"libgeo.a"},
         1,
         "ombu-ifchange[1]: ERROR: ./geo.o: Cannot find .do file to use.\n"
         "ombu-ifchange[1]: INFO: ./geo.o" +
             above +
             "ombu-ifchange[1]: ERROR: ./point.o: Cannot find .do file to use.\n"
             "ombu-ifchange[1]: INFO: ./point.o" +
             above + "ombu: ERROR: libgeo.a: Not done.\n"},
        {"the build where it belongs", nullptr, "", {"-s", "all"}, 0, ""},
        {"an object of the build above, built",
         nullptr,
         "lib",
         {"geo.o"},
         0,
         "ombu: INFO: geo.o" + above},
        {"an object of the build above, not built",
         nullptr,
         "lib",
         {"plane.o"},
         1,
         "ombu: ERROR: plane.o: Cannot find .do file to use.\nombu: INFO: plane.o" + above},
        {"a source that only the catch-all would make", nullptr, "", {"README"}, 0, ""},
        {"a target with its records", nullptr, "", {"all"}, 0, "ombu: INFO: all: Ombune.\n"},
        {"a target whose records are gone, named twice",
         "rm -rf .ombu",
         "",
         {"all", "all"},
         0,
         "ombu: INFO: " + remove},
        {"the same, silently", nullptr, "", {"-s", "all"}, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.first != nullptr) {
            ASSERT_EQ(run_shell(c.first, dir.path()).status, 0);
        }
        const run_result r = run_command("ombu", c.args, c.cwd.empty() ? dir.path() : dir / c.cwd);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
    }
}

// A script that writes its target by name, not "$3", gets a hint: the empty
// output replaces what it wrote, whether the target was there before or not.
// One that writes nothing at all (a target that only gathers others) gets
// none, however soon after its last build it runs again.
TEST(ScriptLaunch, ATargetWrittenDirectlyIsPointedOut) {
    temp_dir dir;
    write_file(dir / "prog.do", "#!/bin/sh\necho built > prog\n", 0755);
    write_file(dir / "all.do", "#!/bin/sh\nombu-ifchange prog\n", 0755);
    const std::string hint =
        "INFO: prog: The script wrote the target itself and no output file, so an empty file "
        "replaces it: a script writes its result into its third argument, \"$3\".\n";
    run_result r = run_command("ombu", {"all"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "ombu-ifchange[1]: " + hint +
                         "ombu-ifchange[1]: INFO: prog: Ombune.\n"
                         "ombu: INFO: all: Ombune.\n");
    EXPECT_EQ(read_file(dir / "prog"), "");

    for (int again = 0; again < 3; ++again) {
        r = run_command("ombu", {"all"}, dir.path());
        EXPECT_EQ(r.err, "ombu: INFO: all: Ombune.\n");
    }
    r = run_command("ombu", {"prog"}, dir.path());
    EXPECT_EQ(r.err, "ombu: " + hint + "ombu: INFO: prog: Ombune.\n");
}

TEST(ScriptLaunch, EveryScriptSeesOneOmbuflagsEntryNamingItsOwnFile) {
    temp_dir dir;
    // Each script keeps the OMBU entries of the environment it was given, as
    // execve passed it.
    const char* dump = "tr '\\0' '\\n' < /proc/$$/environ | grep '^OMBU' > \"$1.env\"\n";
    write_file(dir / "all.do", std::string("#!/bin/sh -e\nombu-ifchange inner\n") + dump, 0755);
    write_file(dir / "inner.do", std::string("#!/bin/sh -e\n") + dump, 0755);

    // Options inherited from the environment reach the scripts once, rewritten.
    run_result r =
        run_command("ombu", {"-j2", "-s", "all"}, dir.path(), {{"OMBUFLAGS", " --keep-going"}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    const std::regex flags(
        "OMBUFLAGS= --keep-going --silent --ombuparent-fd=[0-9]+ --jobserver-fds=[0-9]+,[0-9]+");
    const std::string all_env = read_file(dir / "all.env");
    const std::string inner_env = read_file(dir / "inner.env");
    for (const auto& env : {all_env, inner_env}) {
        const auto entries = lines_starting(env, "OMBUFLAGS=");
        ASSERT_EQ(entries.size(), 1u) << env;
        EXPECT_TRUE(std::regex_match(entries[0], flags)) << entries[0];
        EXPECT_TRUE(env.ends_with(entries[0] + "\n")) << "OMBUFLAGS is not the last entry:\n"
                                                      << env;
        EXPECT_EQ(lines_starting(env, "OMBULOCKS=").size(), 1u) << env;
    }
    // The nested build passes on its ancestors' locks with its own target's.
    const std::string all_locks = lines_starting(all_env, "OMBULOCKS=")[0];
    const std::string inner_locks = lines_starting(inner_env, "OMBULOCKS=")[0];
    EXPECT_TRUE(inner_locks.starts_with(all_locks + " ")) << all_locks << "\n" << inner_locks;

    // Each recording went into the pending file of its own target.
    EXPECT_EQ(lines_starting(read_file(dir / ".ombu/all.prereqs"), "f").size(), 2u);
    EXPECT_TRUE(read_file(dir / ".ombu/all.prereqs").ends_with(" inner\n"));
    EXPECT_TRUE(read_file(dir / ".ombu/inner.prereqs").ends_with(" inner.do\n"));
}

TEST(ScriptLaunch, VerboseStartLinesReachNestedBuilds) {
    temp_dir dir;
    write_file(dir / "all.do", "#!/bin/sh\nombu-ifchange x.o\n", 0755);
    write_file(dir / "default.o.do", "#!/bin/sh\n: > \"$3\"\n", 0755);
    run_result r = run_command("ombu", {"-p", "-s", "all"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines_starting(r.err, "ombu: INFO: spawn: "),
              std::vector<std::string>{"ombu: INFO: spawn: all.do all  all.doing"});
    EXPECT_EQ(
        lines_starting(r.err, "ombu-ifchange[1]: INFO: spawn: "),
        std::vector<std::string>{"ombu-ifchange[1]: INFO: spawn: default.o.do x .o x.o.doing"});
}

}  // namespace
}  // namespace ombu_test
