// Option processing: how arguments are sorted into options, values and
// non-options, and what each kind of definition does with them.
#include <gtest/gtest.h>

#include <climits>
#include <list>
#include <string>
#include <vector>

#include "options/tesk.hpp"
#include "support/scratch.hpp"

namespace {

// One definition of every kind, its destinations, and the tables around them.
// outcome() renders everything that was set as one line, so that a case can
// state its whole expected effect.
struct option_set {
    bool k = false, s = false, shadowed_k = false, n = false, b = false;
    unsigned long j = 0;
    long i = 0;
    const char* dir = nullptr;
    const char* x = nullptr;
    const char* first = nullptr;
    const char* second = nullptr;
    std::list<std::string> list;
    std::list<std::pair<std::string, std::string>> pairs;
    std::vector<const char*> files;

    tesk::bool_definition k_def{'k', "keep-going", nullptr, "Keep going.", &k};
    tesk::bool_definition s_def{'s', nullptr, nullptr, nullptr, &s};
    tesk::unsigned_number_definition j_def{'j', "jobs", "number", nullptr, &j, 0};
    tesk::signed_number_definition i_def{'i', "int", "number", nullptr, &i, 10};
    tesk::string_definition dir_def{'C', "directory", "directory", nullptr, &dir};
    tesk::string_definition x_def{'x', nullptr, "text", nullptr, &x};  // letter only
    tesk::bool_string_definition b_def{'b', "bool", "word", nullptr, &b};
    tesk::string_pair_definition pair_def{'P', "pair", "a b", nullptr, &first, &second};
    tesk::string_list_definition list_def{'L', "list", "item", nullptr, &list};
    tesk::string_pair_list_definition pairs_def{'Q', "pairs", "a b", nullptr, &pairs};
    // In a nested table after k: its letter k is never reached.
    tesk::bool_definition shadow_def{'k', "shadow", nullptr, nullptr, &shadowed_k};
    tesk::bool_definition n_def{'n', "nested", nullptr, nullptr, &n};

    tesk::definition* nested_entries[2] = {&shadow_def, &n_def};
    tesk::table_definition nested{nested_entries, 2, "Nested"};
    tesk::definition* top_entries[11] = {&k_def,  &s_def, &j_def,    &i_def,    &dir_def,  &x_def,
                                         &nested, &b_def, &pair_def, &list_def, &pairs_def};
    tesk::top_table_definition top{top_entries, 11, "Main options", "filename(s)"};

    std::string outcome(bool halted) const {
        std::string out;
        auto add = [&out](const std::string& item) { out += (out.empty() ? "" : " ") + item; };
        if (k) add("k");
        if (s) add("s");
        if (shadowed_k) add("shadowed-k");
        if (n) add("n");
        if (j_def.is_set) add("j=" + std::to_string(j));
        if (i_def.is_set) add("i=" + std::to_string(i));
        if (dir != nullptr) add(std::string("C=") + dir);
        if (x != nullptr) add(std::string("x=") + x);
        if (b_def.is_set) add(b ? "b=1" : "b=0");
        if (first != nullptr) add(std::string("P=") + first + "," + second);
        for (const std::string& item : list) add("L=" + item);
        for (const auto& [a, z] : pairs) add("Q=" + a + "," + z);
        if (!files.empty()) {
            std::string text = "files=";
            for (const char* f : files) text += std::string("[") + f + "]";
            add(text);
        }
        if (halted) add("halted");
        return out;
    }
};

struct processing_case {
    std::vector<const char*> args;
    std::string outcome;  // effects that remain, even after an error
    std::string error;    // "<arg>: <message>", empty when nothing is thrown
};

// Names a failing case by its arguments.
void PrintTo(const processing_case& c, std::ostream* os) {
    *os << "args:";
    for (const char* a : c.args)
        *os << ' ' << (a == nullptr ? "(null)" : '"' + std::string(a) + '"');
}

class processing : public testing::TestWithParam<processing_case> {};

TEST_P(processing, has_expected_effects_and_errors) {
    const processing_case& c = GetParam();
    option_set o;
    tesk::arg_processor<const char* const*> p("prog", &o.top, &o.files, c.args.data(),
                                              c.args.data() + c.args.size());
    std::string thrown;
    {
        ombu_unit::captured_stdout help;  // -? and --usage print; the texts are tested elsewhere
        try {
            p.process();
        } catch (const tesk::error& e) {
            thrown = std::string(e.arg) + ": " + e.message;
        }
    }
    EXPECT_EQ(o.outcome(p.halted), c.outcome);
    EXPECT_EQ(thrown, c.error);
}

const processing_case processing_cases[] = {
    // Sorting of arguments.
    {{}, "", ""},
    {{"--", "--", "-x"}, "files=[--][-x]", ""},
    {{"-"}, "", ""},
    {{"a", "-k", "b"}, "k files=[a][b]", ""},
    {{"-k", "", "a"}, "k files=[][a]", ""},
    {{"a", nullptr, "-k"}, "files=[a]", ""},  // a null element ends the sequence
    {{"---x"}, "", "---x: unrecognized option"},
    {{"--directory=x"}, "", "--directory=x: unrecognized option"},
    {{"-kz", "-s"}, "k", "-kz: unrecognized option(s)"},
    {{"-ks", "--keep-going"}, "k s", ""},
    // Values: attached form first, then the letter with the next argument.
    {{"-kj4"}, "k j=4", ""},
    {{"-Ck"}, "C=k", ""},
    {{"-kC", "d", "-s"}, "k s C=d", ""},
    {{"-C", "--", "-k"}, "k C=--", ""},
    {{"--directory", "-k"}, "C=-k", ""},
    {{"-Ca", "--directory", "b"}, "C=b", ""},
    {{"--jobs"}, "", "jobs: missing option argument"},
    {{"-j"}, "", "jobs: missing option argument"},
    {{"-x"}, "", "-x: missing option argument"},
    {{"-xy"}, "x=y", ""},
    // Numbers.
    {{"-jx"}, "", "x: not a number"},
    {{"-j0x10"}, "j=16", ""},
    {{"-j010"}, "j=8", ""},
    {{"--jobs", "4k"}, "", "4k: not a number"},
    {{"--jobs", ""}, "", ": not a number"},
    {{"-j-1"}, "j=" + std::to_string(ULONG_MAX), ""},
    {{"-i-5"}, "i=-5", ""},
    {{"--int", " +7"}, "i=7", ""},
    {{"-i010"}, "i=10", ""},  // base 10: no octal prefix
    {{"-i99999999999999999999999"}, "i=" + std::to_string(LONG_MAX), ""},
    // Boolean words.
    {{"-bon"}, "b=1", ""},
    {{"--bool", "no"}, "b=0", ""},
    {{"-byes", "-b0"}, "b=0", ""},
    {{"-boff", "-btrue"}, "b=1", ""},
    {{"-bOn"}, "", "On: not a boolean"},
    {{"--bool", "TRUE"}, "", "TRUE: not a boolean"},
    // Two values, and lists that accumulate.
    {{"-Pa", "b"}, "P=a,b", ""},
    {{"-P", "a", "b"}, "P=a,b", ""},
    {{"--pair", "a", "b", "-k"}, "k P=a,b", ""},
    {{"--pair", "a"}, "", "pair: missing option argument"},
    {{"-Pa"}, "", "pair: missing option argument"},
    {{"-La", "--list", "b", "-Lc"}, "L=a L=b L=c", ""},
    {{"-Qa", "b", "--pairs", "c", "d"}, "Q=a,b Q=c,d", ""},
    // Nested tables are searched in place; the first claim wins.
    {{"-kn"}, "k n", ""},
    {{"--shadow", "--nested"}, "shadowed-k n", ""},
    // Help and usage halt before the next argument, not within a bundle.
    {{"-?k", "-s"}, "k halted", ""},
    {{"-k?z"}, "k halted", "-k?z: unrecognized option(s)"},
    {{"--usage", "-k", "a"}, "halted", ""},
    {{"a", "--help", "--bogus"}, "files=[a] halted", ""},
    {{"-C", "--help"}, "C=--help", ""},
};

INSTANTIATE_TEST_SUITE_P(cases, processing, testing::ValuesIn(processing_cases));

TEST(processing_values, point_into_the_arguments_except_lists_which_copy) {
    option_set o;
    char dir[] = "out";
    char item[] = "item";
    std::vector<const char*> args = {"-C", dir, "-L", item, "file"};
    tesk::arg_processor<std::vector<const char*>::const_iterator> p("prog", &o.top, &o.files,
                                                                    args.cbegin(), args.cend());
    p.process();
    EXPECT_EQ(o.dir, dir);
    EXPECT_EQ(o.files.at(0), args[4]);
    item[0] = 'X';
    EXPECT_EQ(o.list.front(), "item");
}

TEST(processing_values, a_plain_table_knows_no_help_or_usage) {
    for (const char* arg : {"--help", "--usage", "-?"}) {
        option_set o;
        std::vector<const char*> args = {arg};
        tesk::arg_processor<std::vector<const char*>::const_iterator> p("prog", &o.nested, &o.files,
                                                                        args.cbegin(), args.cend());
        ombu_unit::captured_stdout out;
        try {
            p.process();
            ADD_FAILURE() << arg << " was accepted";
        } catch (const tesk::error& e) {
            EXPECT_STREQ(e.arg, arg);
        }
        EXPECT_FALSE(p.halted);
        EXPECT_EQ(out.str(), "");
    }
}

TEST(processing_values, letter_only_option_names_stay_valid) {
    // The name reported for a letter-only option is static text: it must not
    // depend on the definition or processor that produced it.
    const char* reported = nullptr;
    {
        const char* value = nullptr;
        tesk::string_definition def{'q', nullptr, "text", nullptr, &value};
        tesk::definition* entries[] = {&def};
        tesk::table_definition table{entries, 1, "T"};
        std::vector<const char*> files, args = {"-q"};
        tesk::arg_processor<std::vector<const char*>::const_iterator> p("prog", &table, &files,
                                                                        args.cbegin(), args.cend());
        try {
            p.process();
        } catch (const tesk::error& e) {
            reported = e.arg;
        }
    }
    ASSERT_NE(reported, nullptr);
    EXPECT_STREQ(reported, "-q");
}

}  // namespace
