// Start-up of the build commands as seen from outside: options from the
// environment and the command line, the job server, the directory change, the
// nesting level and the choice of command.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "database/recording.hpp"
#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

const std::string usage_line =
    "Usage: ombu [-?sdkp] [--help] [--usage] [--silent] [--quiet] [--debug] [--keep-going] "
    "[--verbose] [--print] [-j|--jobs number] [-C|--directory directory] filename(s)\n";

TEST(FrontEnd, UsageAndHelp) {
    temp_dir dir;
    run_result r = run_command("ombu", {"--usage", "--frobnicate"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage_line);
    EXPECT_EQ(r.err, "");

    const std::string help = usage_line +
                             "\n"
                             "Main options:\n"
                             "\t-s, --silent              Operate quietly.\n"
                             "\t--quiet                   alias for --silent\n"
                             "\t-d, --debug               Output debugging information.\n"
                             "\t-k, --keep-going          Continue with the next target if a .do "
                             "script fails.\n"
                             "\t--verbose                 Display information about the database.\n"
                             "\t-p, --print               alias for --verbose\n"
                             "\t-j, --jobs number         Allow multiple jobs to run in parallel.\n"
                             "\t-C, --directory directory Change to directory before doing "
                             "anything.\n";
    for (const char* option : {"--help", "-?"}) {
        // Help comes before any directory change or job-server set-up.
        r = run_command("ombu", {option, "-C", "missing", "-j0"}, dir.path());
        EXPECT_EQ(r.status, 0) << option;
        EXPECT_EQ(r.out, help) << option;
        EXPECT_EQ(r.err, "") << option;
    }
    EXPECT_FALSE(exists(dir / ".ombu"));
}

struct start_up_case {
    env_list env;
    std::vector<std::string> args;
    std::string err;  // with "@" standing for "ombu-ifcreate: "
    int status;
};

std::string expand(const std::string& text) {
    return std::regex_replace(text, std::regex("@"), "ombu-ifcreate: ");
}

// ombu-ifcreate run from a shell gets through start-up and then refuses to
// record, which makes every start-up effect visible without a build.
TEST(FrontEnd, StartUpOptionsWarningsAndErrors) {
    temp_dir dir;
    const std::string refused = "@ERROR: Not invoked within a .do script.\n";
    // From MAKEFLAGS, with the hint about make's "+".
    const std::string no_pipe =
        "@WARNING: 3,4: Not an open jobserver pipe; running without a "
        "jobserver.\n"
        "@INFO: make: make hands its job server only to recipe lines marked with + (or naming "
        "$(MAKE)): mark the line that runs ombu with +.\n";
    // make's -s silences the build's hints too.
    const std::string no_pipe_silent = no_pipe.substr(0, no_pipe.find("@INFO"));
    const start_up_case cases[] = {
        {{}, {"x"}, refused, 1},
        {{{"MAKEFLAGS", "ks -j4 --jobserver-auth=3,4"}}, {"x"}, no_pipe_silent + refused, 1},
        {{{"MAKEFLAGS", " -J"}}, {"x"}, "@FATAL: jobserver-auth: missing option argument\n", 1},
        // make's own long options are swallowed too.
        {{{"MAKEFLAGS", "n --no-print-directory"}}, {"x"}, refused, 1},
        {{{"MAKEFLAGS", " foo bar"}},
         {"x"},
         "@WARNING: MAKEFLAGS: foo: Ignoring filename(s).\n" + refused,
         1},
        {{{"MAKEFLAGS", " -j0 foo"}, {"MFLAGS", "bar"}},
         {"x"},
         "@WARNING: MAKEFLAGS: foo: Ignoring filename(s).\n@FATAL: Invalid job limit.\n",
         1},
        {{{"OMBUFLAGS", " --jobserver-fds=7"}},
         {"x"},
         "@WARNING: 7: Not an open jobserver pipe; running without a jobserver.\n" + refused,
         1},
        {{{"OMBUFLAGS", " --ombuparent-fd=x"}},
         {"x"},
         "@ERROR: x: x: File descriptor number not supplied.\n",
         1},
        // Would wrap to descriptor 1, standard output.
        {{{"OMBUFLAGS", " --ombuparent-fd=-4294967295"}},
         {"x"},
         "@ERROR: -4294967295: : File descriptor number too large.\n",
         1},
        {{{"OMBUFLAGS", " --ombuparent-fd=5,6"}},
         {"x"},
         "@ERROR: 5,6: ,6: Trailing junk after file descriptor(s).\n",
         1},
        // Only OMBUFLAGS may name a parent file.
        {{{"MAKEFLAGS", " --ombuparent-fd=5"}}, {"x"}, refused, 1},
        {{{"MAKEFLAGS", " --jobserver-auth=3;4"}}, {"x"}, "@ERROR: 3;4: ;4: Missing comma.\n", 1},
        {{{"MAKEFLAGS", " --jobserver-auth=3,4 --jobserver-fds="}}, {"x"}, refused, 1},
        {{{"MAKEFLAGS", " --jobserver-auth=fifo:/nonexistent/jobs"}},
         {"x"},
         "@WARNING: /nonexistent/jobs: No such file or directory; running without a jobserver.\n" +
             refused,
         1},
        // The FIFO form belongs to --jobserver-auth; the last option given decides.
        {{{"MAKEFLAGS", " --jobserver-auth=fifo:/nonexistent/jobs --jobserver-fds=fifo:/x"}},
         {"x"},
         "@ERROR: fifo:/x: fifo:/x: File descriptor number not supplied.\n",
         1},
        {{{"OMBUFLAGS", " --jobserver-fds=fifo:/x"}},
         {"x"},
         "@ERROR: fifo:/x: fifo:/x: File descriptor number not supplied.\n",
         1},
        {{{"MAKEFLAGS", " --jobserver-fds=fifo:/x -Jfifo:/nonexistent/jobs"}},
         {"x"},
         "@WARNING: /nonexistent/jobs: No such file or directory; running without a jobserver.\n" +
             refused,
         1},
        {{}, {"--jobserver-fds=3,4", "x"}, "@FATAL: --jobserver-fds=3,4: unrecognized option\n", 1},
        {{}, {"-j", "0", "x"}, "@FATAL: Invalid job limit.\n", 1},
        {{{"MAKEFLAGS", " --jobserver-auth=3,4"}}, {"-j", "0", "x"}, no_pipe + refused, 1},
        {{}, {"-C", "missing", "x"}, "@FATAL: missing: No such file or directory\n", 1},
        {{}, {"--directory=.", "x"}, "@FATAL: --directory=.: unrecognized option\n", 1},
        {{}, {"-j4", "--", "-x"}, refused, 1},
        // Lines before the level is taken over carry no tag.
        {{{"MAKELEVEL", "3"}}, {}, "@FATAL: No filenames supplied.\n", 1},
        {{{"MAKELEVEL", "3"}}, {"-j", "0", "x"}, "@FATAL: Invalid job limit.\n", 1},
        {{{"MAKELEVEL", "3"}},
         {"x"},
         "ombu-ifcreate[3]: ERROR: Not invoked within a .do script.\n",
         1},
        {{{"__MKLVL__", "2"}},
         {"x"},
         "ombu-ifcreate[2]: ERROR: Not invoked within a .do script.\n",
         1},
        {{{"MAKELEVEL", "007"}, {"__MKLVL__", "5"}},
         {"x"},
         "ombu-ifcreate[007]: ERROR: Not invoked within a .do script.\n",
         1},
        {{},
         {"existing", "x", "existing"},
         "@ERROR: existing: File/directory exists.\n@ERROR: existing: File/directory exists.\n",
         1},
    };
    write_file(dir / "existing", "");
    for (const auto& c : cases) {
        std::string label = "args:";
        for (const auto& arg : c.args) label += " [" + arg + "]";
        for (const auto& [name, value] : c.env) label += " " + name + "=[" + value + "]";
        run_result r = run_command("ombu-ifcreate", c.args, dir.path(), c.env);
        EXPECT_EQ(r.status, c.status) << label;
        EXPECT_EQ(r.err, expand(c.err)) << label;
        EXPECT_EQ(r.out, "") << label;
    }
    // ombu-ifcreate and ombu-ifchange never make a database.
    run_result r = run_command("ombu-ifchange", {"existing"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ombu-ifchange: ERROR: Not invoked within a .do script.\n");
    EXPECT_FALSE(exists(dir / ".ombu"));
}

// t.do writes the options its build hands on to scripts.
const char* const flags_script = "#!/bin/sh\nprintf '%s' \"$OMBUFLAGS\" > \"$3\"\n";

struct options_variable_case {
    env_list env;
    std::string err;  // with "@" standing for "ombu: "
    int status;
    std::string flags;      // what the script got before --ombuparent-fd; unused on failure
    std::string jobserver;  // the --jobserver-fds value it got: "" none, "new" a pipe of its own
};

// The options variables as make and a parent build write them. Descriptors 3
// and 4 are the two ends of a pipe and 7 a FIFO open for both, as a job
// server handed down would be.
TEST(FrontEnd, OptionsVariablesAsMakeAndBuildsWriteThem) {
    const std::string built = "@INFO: t: Ombune.\n";
    const options_variable_case cases[] = {
        // make's letters come first without a dash; its -j beside its job
        // server is a jobs option, and ignored.
        {{{"MAKEFLAGS", "ks -j4 --jobserver-auth=3,4"}},
         "@WARNING: Ignoring jobs option when there's already a job server.\n",
         0,
         " --keep-going --silent",
         "3,4"},
        // With a leading space no dash is added: -j finds no value.
        {{{"MAKEFLAGS", " --jobserver-fds=5,6 -j"}},
         "@FATAL: jobs: missing option argument\n",
         1,
         "",
         ""},
        // w is swallowed; the variable after -- is dropped without a word.
        {{{"MAKEFLAGS", "kw -- CC=cc"}}, built, 0, " --keep-going", ""},
        {{{"MAKEFLAGS", " foo"}},
         "@WARNING: MAKEFLAGS: foo: Ignoring filename(s).\n" + built,
         0,
         "",
         ""},
        {{{"MAKEFLAGS", " foo bar"}},
         "@WARNING: MAKEFLAGS: foo: Ignoring filename(s).\n" + built,
         0,
         "",
         ""},
        // The "=" filter is MAKEFLAGS's only.
        {{{"MFLAGS", "-s CC=cc"}},
         "@WARNING: MFLAGS: CC=cc: Ignoring filename(s).\n",
         0,
         " --silent",
         ""},
        {{{"MAKEFLAGS", "n"}}, built, 0, "", ""},
        // Quotes and backslashes keep white space, and quotes, in a word.
        {{{"MAKEFLAGS", " \"a b\""}},
         "@WARNING: MAKEFLAGS: a b: Ignoring filename(s).\n" + built,
         0,
         "",
         ""},
        {{{"MAKEFLAGS", " a\\ b"}},
         "@WARNING: MAKEFLAGS: a b: Ignoring filename(s).\n" + built,
         0,
         "",
         ""},
        {{{"MAKEFLAGS", " a\\\"b"}},
         "@WARNING: MAKEFLAGS: a\"b: Ignoring filename(s).\n" + built,
         0,
         "",
         ""},
        // " -j4" is the one word -j4; "-j4" becomes --j4, a long option
        // swallowed as make's own.
        {{{"MAKEFLAGS", " -j4"}}, built, 0, "", "new"},
        {{{"MAKEFLAGS", "-j4"}}, built, 0, "", ""},
        // An empty variable that is set is the one read, and gives no words.
        {{{"MAKEFLAGS", ""}, {"MFLAGS", "-s"}}, built, 0, "", ""},
        {{{"OMBUFLAGS", ""}, {"MAKEFLAGS", "-j8"}}, built, 0, "", ""},
        {{{"OMBUFLAGS", " --jobserver-auth=3,4"}},
         "@FATAL: --jobserver-auth=3,4: unrecognized option\n",
         1,
         "",
         ""},
        // One descriptor stands for both ends.
        {{{"OMBUFLAGS", " --jobserver-fds=7"}}, built, 0, "", "7,7"},
    };
    int pipe_ends[2];
    ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
    temp_dir fifo_dir;
    ASSERT_EQ(mkfifo((fifo_dir / "jobs").c_str(), 0600), 0);
    const int fifo = open((fifo_dir / "jobs").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    const fd_list job_servers = {{3, pipe_ends[0]}, {4, pipe_ends[1]}, {7, fifo}};
    for (const auto& c : cases) {
        std::string label;
        for (const auto& [name, value] : c.env) label += " " + name + "=[" + value + "]";
        temp_dir dir;
        write_file(dir / "t.do", flags_script, 0755);
        run_result r = run_command("ombu", {"t"}, dir.path(), c.env, job_servers);
        EXPECT_EQ(r.status, c.status) << label;
        EXPECT_EQ(r.err, std::regex_replace(c.err, std::regex("@"), "ombu: ")) << label;
        if (c.status != 0) {
            EXPECT_FALSE(exists(dir / "t")) << label;
            continue;
        }
        const std::string jobserver = c.jobserver == "new"  ? " --jobserver-fds=[0-9]+,[0-9]+"
                                      : c.jobserver.empty() ? ""
                                                            : " --jobserver-fds=" + c.jobserver;
        const std::string handed_on = read_file(dir / "t");
        EXPECT_TRUE(std::regex_match(handed_on,
                                     std::regex(c.flags + " --ombuparent-fd=[0-9]+" + jobserver)))
            << label << "\n"
            << handed_on;
    }
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    close(fifo);
}

TEST(FrontEnd, UnrecordableNamesAreRefusedBeforeAnythingIsBuilt) {
    temp_dir dir;
    write_file(dir / "default.do", "#!/bin/sh\ntouch built\n", 0755);
    const std::string line_feed = "a\nb";
    for (const char* command : {"ombu", "ombu-ifchange", "ombu-ifcreate"}) {
        run_result r =
            run_command(command, {"ok", "", line_feed, " lead"}, dir.path(), {{"MAKELEVEL", "1"}});
        const std::string prefix = std::string(command) + "[1]: ERROR: ";
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.err, prefix + ": " + ombu::unrecordable_reason("") + "\n" + prefix + line_feed +
                             ": " + ombu::unrecordable_reason(line_feed.c_str()) + "\n" + prefix +
                             " lead: " + ombu::unrecordable_reason(" lead") + "\n")
            << command;
    }
    EXPECT_FALSE(exists(dir / "built"));
    EXPECT_FALSE(exists(dir / ".ombu"));
}

// Usage and help that cannot be written are a failure, not a success.
TEST(FrontEnd, UsageAndHelpThatCannotBeWrittenFail) {
    temp_dir dir;
    for (const char* option : {"--usage", "--help", "-?"}) {
        run_result r = run_shell(std::string("ombu ") + option + " >/dev/full", dir.path());
        EXPECT_EQ(r.status, 1) << option;
        EXPECT_EQ(r.err, "ombu: ERROR: standard output: No space left on device\n") << option;
    }
}

TEST(FrontEnd, UnknownCommandNameGoesThroughStartUpFirst) {
    temp_dir dir;
    ASSERT_EQ(symlink((binary_dir() + "/ombu").c_str(), (dir / "ombu-frob").c_str()), 0);
    const std::string command = dir / "ombu-frob";

    run_result r = run_program({command, "x"}, dir.path(), {{"MAKELEVEL", "4"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ombu-frob[4]: FATAL: ombu-frob: Unknown function.\n");

    r = run_program({command}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ombu-frob: FATAL: No filenames supplied.\n");

    r = run_program({command, "--usage"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::regex_replace(usage_line, std::regex("ombu "), "ombu-frob "));

    r = run_program({command, "-j", "0", "x"}, dir.path());
    EXPECT_EQ(r.err, "ombu-frob: FATAL: Invalid job limit.\n");
    EXPECT_FALSE(exists(dir / ".ombu"));
}

// t.do writes what its build handed on: the nesting level and OMBUFLAGS.
const char* const report_script =
    "#!/bin/sh\nprintf '%s %s|%s' \"$MAKELEVEL\" \"$__MKLVL__\" \"$OMBUFLAGS\" > \"$3\"\n";

struct hand_on_case {
    env_list env;
    std::vector<std::string> args;
    std::string levels;  // "$MAKELEVEL $__MKLVL__"
    std::string flags;   // what comes before --ombuparent-fd
    bool jobserver;      // whether --jobserver-fds follows it
};

TEST(FrontEnd, OptionsAndLevelReachTheScripts) {
    const hand_on_case cases[] = {
        {{}, {"t"}, "1 1", "", false},
        {{{"MAKELEVEL", "2"}}, {"t"}, "3 3", "", false},
        {{{"MAKELEVEL", "x"}}, {"t"}, "1 1", "", false},
        {{{"MAKELEVEL", "0x10"}}, {"t"}, "17 17", "", false},
        {{{"__MKLVL__", "2"}}, {"t"}, "3 3", "", false},
        {{{"MAKELEVEL", "010"}, {"__MKLVL__", "2"}}, {"t"}, "9 9", "", false},
        {{{"MAKEFLAGS", "ks -j4 --jobserver-auth=3,4"}},
         {"t"},
         "1 1",
         " --keep-going --silent",
         false},
        {{{"MFLAGS", "-d"}}, {"t", "-k"}, "1 1", " --keep-going --debug", false},
        {{{"OMBUFLAGS", " --print"}, {"MAKEFLAGS", "s"}},
         {"--quiet", "t"},
         "1 1",
         " --silent --verbose",
         false},
        {{}, {"-j1", "t"}, "1 1", "", true},
        {{}, {"-j", "0x10", "t"}, "1 1", "", true},
    };
    for (const auto& c : cases) {
        std::string label = "args:";
        for (const auto& arg : c.args) label += " [" + arg + "]";
        for (const auto& [name, value] : c.env) label += " " + name + "=[" + value + "]";
        temp_dir dir;
        write_file(dir / "t.do", report_script, 0755);
        run_result r = run_command("ombu", c.args, dir.path(), c.env);
        EXPECT_EQ(r.status, 0) << label << "\n" << r.err;
        std::string pattern = c.levels + "\\|" + c.flags + " --ombuparent-fd=[0-9]+" +
                              (c.jobserver ? " --jobserver-fds=[0-9]+,[0-9]+" : "");
        std::string handed_on = read_file(dir / "t");
        EXPECT_TRUE(std::regex_match(handed_on, std::regex(pattern))) << label << "\n"
                                                                      << handed_on << "\n"
                                                                      << pattern;
    }
}

TEST(FrontEnd, ChangesDirectoryBeforeBuilding) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-C", "sub", "t"},
                                                 {"--directory", "sub", "t"},
                                                 {"-Csub", "t"}}) {
        temp_dir dir;
        write_file(dir / "sub/t.do", "#!/bin/sh\npwd > \"$3\"\n", 0755);
        run_result r = run_command("ombu", args, dir.path());
        EXPECT_EQ(r.status, 0) << args[0] << "\n" << r.err;
        EXPECT_TRUE(exists(dir / "sub/.ombu/t.prereqs")) << args[0];
        EXPECT_FALSE(exists(dir / ".ombu")) << args[0];
        char real[PATH_MAX];
        ASSERT_NE(realpath((dir / "sub").c_str(), real), nullptr);
        EXPECT_EQ(read_file(dir / "sub/t"), std::string(real) + "\n") << args[0];
    }
}

TEST(FrontEnd, DoubleDashMakesTheRestTargets) {
    // Found through default.do, and through its own script, whose path
    // begins with "-" and so is started as ./-k.do, not read as an option.
    for (const char* script : {"default.do", "-k.do"}) {
        temp_dir dir;
        write_file(dir / script, report_script, 0755);
        run_result r = run_command("ombu", {"-p", "--", "-k"}, dir.path());
        EXPECT_EQ(r.status, 0) << r.err;
        // -k was a target, not the keep-going flag.
        EXPECT_TRUE(std::regex_match(read_file(dir / "-k"),
                                     std::regex("1 1\\| --verbose --ombuparent-fd=[0-9]+")))
            << read_file(dir / "-k");
        const std::string started =
            std::string(script) == "-k.do" ? "./-k.do -k " : "default.do -k ";
        EXPECT_NE(r.err.find("ombu: INFO: spawn: " + started), std::string::npos) << r.err;
    }
}

// make 4.4 and later name a FIFO in MAKEFLAGS; the build opens it and hands it
// on to its scripts as one descriptor used for both ends.
TEST(FrontEnd, JoinsAJobServerNamedByAFifo) {
    temp_dir dir;
    ASSERT_EQ(mkfifo((dir / "jobs").c_str(), 0600), 0);
    int fifo = open((dir / "jobs").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    ASSERT_EQ(write(fifo, "+", 1), 1);
    write_file(dir / "all.do", "#!/bin/sh -e\nombu-ifchange a b\necho \"$OMBUFLAGS\" > \"$3\"\n",
               0755);
    write_file(dir / "default.do", "#!/bin/sh\necho \"$OMBUFLAGS\" > \"$3\"\n", 0755);

    // make's own -j beside its job server is ignored, with a warning from
    // the outermost build only: the nested ones read OMBUFLAGS.
    env_list env = {{"MAKEFLAGS", " -j2 --jobserver-auth=fifo:" + (dir / "jobs")}};
    run_result r = run_command("ombu", {"-s", "all"}, dir.path(), env);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "ombu: WARNING: Ignoring jobs option when there's already a job server.\n");
    std::smatch fds;
    std::string flags = read_file(dir / "all");
    ASSERT_TRUE(std::regex_search(flags, fds, std::regex("--jobserver-fds=([0-9]+),([0-9]+)")))
        << flags;
    EXPECT_EQ(fds[1], fds[2]);
    // The nested build handed the same FIFO on to the scripts of a and b.
    EXPECT_NE(read_file(dir / "a").find("--jobserver-fds="), std::string::npos);
    // Every token taken was given back.
    EXPECT_EQ(bytes_in(fifo), 1);
    close(fifo);
}

TEST(FrontEnd, FailedBuildIsNotRecorded) {
    temp_dir dir;
    write_file(dir / "all.do", "#!/bin/sh\nombu-ifchange good bad\necho $? > \"$3\"\n", 0755);
    write_file(dir / "good.do", "#!/bin/sh\necho good > \"$3\"\n", 0755);
    write_file(dir / "bad.do", "#!/bin/sh\nexit 1\n", 0755);
    run_result r = run_command("ombu", {"all"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "all"), "1\n");
    std::string prereqs = read_file(dir / ".ombu/all.prereqs");
    EXPECT_EQ(prereqs.find("good"), std::string::npos) << prereqs;
    EXPECT_EQ(prereqs.find("bad"), std::string::npos) << prereqs;
}

// A jobs option beside an inherited job server is ignored with one warning,
// whether make wrote it or it was given to ombu; without a jobs option, none.
TEST(FrontEnd, AJobsOptionBesideAnInheritedJobServerIsIgnored) {
    temp_dir dir;
    ASSERT_EQ(mkfifo((dir / "jobs").c_str(), 0600), 0);
    int fifo = open((dir / "jobs").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    write_file(dir / "t.do", "#!/bin/sh\n", 0755);
    const std::string auth = "--jobserver-auth=fifo:" + (dir / "jobs");
    const env_list env = {{"MAKEFLAGS", " -j2 " + auth}};
    const std::string warning =
        "ombu: WARNING: Ignoring jobs option when there's already a job server.\n";
    EXPECT_EQ(run_command("ombu", {"-s", "t"}, dir.path(), {{"MAKEFLAGS", " " + auth}}).err, "");
    EXPECT_EQ(run_command("ombu", {"-s", "t"}, dir.path(), env).err, warning);
    EXPECT_EQ(run_command("ombu", {"-s", "-j3", "t"}, dir.path(), env).err, warning);
    EXPECT_EQ(run_command("ombu", {"-s", "-j2", "t"}, dir.path(), env).err, warning);
    close(fifo);
}

}  // namespace
}  // namespace ombu_test
