// Usage lines and help listings, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options/tesk.hpp"
#include "support/scratch.hpp"

namespace {

// Runs a processor named `name` over args and returns what it printed; the
// run must halt.
std::string printed(const char* name, tesk::table_definition* table,
                    std::vector<const char*> args) {
    std::vector<const char*> files;
    tesk::arg_processor<std::vector<const char*>::const_iterator> p(name, table, &files,
                                                                    args.cbegin(), args.cend());
    ombu_unit::captured_stdout out;
    p.process();
    EXPECT_TRUE(p.halted);
    EXPECT_TRUE(files.empty());
    return out.str();
}

// Accepts every option and does nothing; not a named definition, so never shown.
struct accept_all : tesk::definition {
    bool execute_short(tesk::processor&, char) override { return true; }
    bool execute_attached(tesk::processor&, char, const char*) override { return false; }
    bool execute_long(tesk::processor&, const char*) override { return true; }
};

TEST(usage, cubehash_command) {
    const char* directory = nullptr;
    tesk::string_definition dir('C', "directory", "directory",
                                "Change to directory before doing anything.", &directory);
    tesk::definition* entries[] = {&dir};
    tesk::top_table_definition table(entries, 1, "Main options", "filename(s)");

    const std::string usage =
        "Usage: cubehash [-?] [--help] [--usage] [-C|--directory directory] filename(s)\n";
    const std::string help = usage +
                             "\n"
                             "Main options:\n"
                             "\t-C, --directory directory Change to directory before doing "
                             "anything.\n";
    EXPECT_EQ(printed("cubehash", &table, {"--usage"}), usage);
    EXPECT_EQ(printed("cubehash", &table, {"--help"}), help);
    EXPECT_EQ(printed("cubehash", &table, {"-?"}), help);
    // Printing halts: what follows is not processed, so nothing prints twice.
    EXPECT_EQ(printed("cubehash", &table, {"--usage", "--help", "-?", "x"}), usage);
    EXPECT_EQ(directory, nullptr);
}

TEST(usage, build_command_line_table) {
    bool silent = false, debug = false, keep_going = false, verbose = false;
    const char* directory = nullptr;
    unsigned long jobs = 0;
    tesk::bool_definition silent_def('s', "silent", nullptr, "Operate quietly.", &silent);
    tesk::bool_definition quiet_def(0, "quiet", nullptr, "alias for --silent", &silent);
    tesk::bool_definition keep_going_def('k', "keep-going", nullptr,
                                         "Continue with the next target if a .do script fails.",
                                         &keep_going);
    tesk::bool_definition debug_def('d', "debug", nullptr, "Output debugging information.", &debug);
    tesk::bool_definition verbose_def(0, "verbose", nullptr,
                                      "Display information about the database.", &verbose);
    tesk::bool_definition print_def('p', "print", nullptr, "alias for --verbose", &verbose);
    tesk::string_definition directory_def('C', "directory", "directory",
                                          "Change to directory before doing anything.", &directory);
    tesk::unsigned_number_definition jobs_def('j', "jobs", "number",
                                              "Allow multiple jobs to run in parallel.", &jobs, 0);
    accept_all catchall;
    tesk::definition* entries[] = {&silent_def,     &quiet_def,     &debug_def,
                                   &keep_going_def, &verbose_def,   &print_def,
                                   &jobs_def,       &directory_def, &catchall};
    tesk::top_table_definition table(entries, 9, "Main options", "filename(s)");

    const std::string usage =
        "Usage: ombu [-?sdkp] [--help] [--usage] [--silent] [--quiet] [--debug] [--keep-going] "
        "[--verbose] [--print] [-j|--jobs number] [-C|--directory directory] filename(s)\n";
    EXPECT_EQ(printed("ombu", &table, {"--usage"}), usage);
    EXPECT_EQ(printed("ombu", &table, {"--help"}),
              usage +
                  "\n"
                  "Main options:\n"
                  "\t-s, --silent              Operate quietly.\n"
                  "\t--quiet                   alias for --silent\n"
                  "\t-d, --debug               Output debugging information.\n"
                  "\t-k, --keep-going          Continue with the next target if a .do script "
                  "fails.\n"
                  "\t--verbose                 Display information about the database.\n"
                  "\t-p, --print               alias for --verbose\n"
                  "\t-j, --jobs number         Allow multiple jobs to run in parallel.\n"
                  "\t-C, --directory directory Change to directory before doing anything.\n");
}

TEST(usage, nested_tables_follow_their_parent) {
    bool a = false, b = false, n = false;
    const char *z = nullptr, *rest = nullptr, *v = nullptr;
    tesk::bool_definition a_def('a', "alpha", nullptr, "First.", &a);
    tesk::string_definition z_def('z', nullptr, "zed", nullptr, &z);  // letter only, no help text
    tesk::bool_definition b_def('b', nullptr, nullptr, "Bee.", &b);   // letter group only
    tesk::string_definition rest_def(0, nullptr, "rest", "Rest.", &rest);
    tesk::bool_definition n_def('n', "nested", nullptr, "Nested flag.", &n);
    tesk::string_definition v_def('v', "value", "text", "A value.", &v);
    accept_all catchall;

    tesk::definition* empty_entries[] = {&catchall};
    tesk::table_definition empty(empty_entries, 1, "Unnamed only");
    tesk::definition* nested_entries[] = {&n_def, &empty, &v_def};
    tesk::table_definition nested(nested_entries, 3, "Nested options");
    tesk::definition* top_entries[] = {&a_def, &nested, &z_def, &b_def, &catchall, &rest_def};
    tesk::top_table_definition top(top_entries, 6, "Top options", "files");

    const std::string usage =
        "Usage: prog [-?abn] [--help] [--usage] [--alpha] [-z zed] [ rest] [--nested] "
        "[-v|--value text] files\n";
    EXPECT_EQ(printed("prog", &top, {"--usage"}), usage);
    EXPECT_EQ(printed("prog", &top, {"--help"}), usage +
                                                     "\n"
                                                     "Top options:\n"
                                                     "\t-a, --alpha First.\n"
                                                     "\t-z zed     \n"
                                                     "\t-b          Bee.\n"
                                                     "\t rest       Rest.\n"
                                                     "Nested options:\n"
                                                     "\t-n, --nested     Nested flag.\n"
                                                     "\t-v, --value text A value.\n");
}

}  // namespace
