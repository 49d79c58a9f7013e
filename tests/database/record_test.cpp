#include "database/record.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace ombu {
namespace {

// Reads records the way the build does. failed: the reader found a
// malformed record (or the stream failed).
std::vector<prerequisite_record> read_all(const std::string& text, bool& failed) {
    std::istringstream in(text);
    std::vector<prerequisite_record> records;
    failed = !read_records(in, records);
    return records;
}

std::string written(const std::string& name, const fingerprint& print) {
    std::ostringstream out;
    write_record(out, name, print);
    return out.str();
}

digest digest_of(const std::string& content) {
    cubehash_state state;
    state.absorb(content.data(), content.size());
    return state.finish();
}

digest counting_hash() {
    digest hash;
    for (std::size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<std::uint8_t>(i * 9);
    return hash;
}

const std::string counting_hex = "0009121b242d363f48515a636c757e879099a2abb4bdc6cfd8e1eaf3fc050e17";
const std::string empty_hex = "67dfa7b6b3cb27c58c19db1d7bbb7c4596913e25f228ddfb9910ddf3c5cad2eb";
constexpr std::int64_t t = 0x6553f100;
constexpr std::int64_t min_time = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t max_time = std::numeric_limits<std::int64_t>::max();

// Every form, every corner of the time field, and names that stay within the
// format however odd (inner spaces, raw bytes, far past any line buffer).
TEST(Record, WritesTheExactLineAndReadsItBack) {
    const std::string long_name(5000, 'n');
    const std::string raw_name = "caf\xc3\xa9 \x01\x7f\xff";
    struct round_trip {
        std::string name;
        fingerprint print;
        std::string line;
    };
    const std::vector<round_trip> cases = {
        {"empty.txt", {regular_file, t, digest_of("")}, "f" + empty_hex + " 6553f100 empty.txt\n"},
        {"include", {directory, t, {}}, "d6553f100 include\n"},
        {"lnk", {special, t, {}}, "s6553f100 lnk\n"},
        {"config.h", {absent, -1, {}}, "aconfig.h\n"},
        {"zero", {regular_file, 0, counting_hash()}, "f" + counting_hex + " 0 zero\n"},
        {"max", {directory, max_time, {}}, "d7fffffffffffffff max\n"},
        {"before 1970", {special, -1, {}}, "s-1 before 1970\n"},
        {"min",
         {regular_file, min_time, counting_hash()},
         "f" + counting_hex + " -8000000000000000 min\n"},
        {"old", {directory, -0x1e13380, {}}, "d-1e13380 old\n"},
        {"a b\tc ", {special, 0xabcdef, {}}, "sabcdef a b\tc \n"},
        {raw_name, {absent, -1, {}}, "a" + raw_name + "\n"},
        {long_name, {directory, 1, {}}, "d1 " + long_name + "\n"},
    };
    std::string file;
    for (const auto& c : cases) {
        EXPECT_EQ(written(c.name, c.print), c.line) << c.name;
        file += c.line;
    }
    // All in one file, as a target's prerequisites are.
    bool failed = true;
    const auto records = read_all(file, failed);
    EXPECT_FALSE(failed);
    ASSERT_EQ(records.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(records[i].name, cases[i].name);
        EXPECT_EQ(records[i].print.type, cases[i].print.type) << cases[i].name;
        EXPECT_EQ(records[i].print.timestamp, cases[i].print.timestamp) << cases[i].name;
        EXPECT_EQ(records[i].print.hash, cases[i].print.hash) << cases[i].name;
    }
}

TEST(Record, UnknownTypeWritesNothing) {
    EXPECT_EQ(written("x", {4, t, {}}), "");
    EXPECT_EQ(written("x", {-1, t, {}}), "");
}

TEST(Record, FieldsOutsideTheFormKeepTheCallersValues) {
    digest held;
    held.fill(0x77);
    struct keep_case {
        std::string line;
        std::int32_t type;
        std::int64_t timestamp;
    };
    const keep_case cases[] = {
        {"aname\n", absent, 1234},
        {"d1a name\n", directory, 0x1a},
        {"s1a name\n", special, 0x1a},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.line);
        fingerprint print{regular_file, 1234, held};
        std::string name = "stale";
        read_record(in, print, name);
        EXPECT_EQ(print.type, c.type) << c.line;
        EXPECT_EQ(print.timestamp, c.timestamp) << c.line;
        EXPECT_EQ(print.hash, held) << c.line;
        EXPECT_EQ(name, "name") << c.line;
    }
}

TEST(Record, ReaderTolerance) {
    const std::string zeros62(62, '0');
    std::string upper = counting_hex;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    bool failed = true;
    auto records = read_all("f" + upper + " 6553F100 name\n", failed);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_FALSE(failed);
    EXPECT_EQ(records[0].print.hash, counting_hash());
    EXPECT_EQ(records[0].print.timestamp, t);

    // A hand-edited pair that is no hexadecimal gives a wrong byte, no error.
    records = read_all("fzz" + zeros62 + " 1 name\n", failed);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_FALSE(failed);
    EXPECT_EQ(records[0].print.hash[0], 0xEF);
    EXPECT_EQ(records[0].print.hash[1], 0);

    // Any character that is no tag reads as an absent record.
    records = read_all("xname\n-  other\n", failed);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_FALSE(failed);
    EXPECT_EQ(records[0].print.type, absent);
    EXPECT_EQ(records[0].name, "name");
    EXPECT_EQ(records[1].print.type, absent);
    EXPECT_EQ(records[1].name, "other");
}

// Which names are read from a file before a malformed line, and whether the
// reader then reports the file malformed.
TEST(Record, WhereReadingStops) {
    const std::string hash64 = counting_hex;
    struct stop_case {
        const char* what;
        std::string text;
        std::vector<std::string> names;
        bool failed;
    };
    const std::vector<stop_case> cases = {
        {"empty file", "", {}, false},
        {"no final line feed", "aone\nd1a two", {"one", "two"}, false},
        {"no final line feed after a name of spaces", "s1 a b ", {"a b "}, false},
        {"line starting with a space", "aone\n atwo\nathree\n", {"one"}, true},
        {"line starting with a tab", "\tatwo\n", {}, true},
        {"line starting with a backspace", "aone\n\batwo\n", {"one"}, true},
        {"line starting with a carriage return", "\rathree\n", {}, true},
        {"empty line", "aone\n\nathree\n", {"one"}, true},
        {"missing time", "aone\nd name\nathree\n", {"one"}, true},
        {"time out of range", "d8000000000000000 big\nathree\n", {}, true},
        {"negative time out of range", "s-8000000000000001 big\n", {}, true},
        {"hash cut short", "f" + hash64.substr(0, 40), {}, true},
        {"time cut short", "f" + hash64, {}, true},
    };
    for (const auto& c : cases) {
        bool failed = false;
        const auto records = read_all(c.text, failed);
        std::vector<std::string> names;
        for (const auto& r : records) names.push_back(r.name);
        EXPECT_EQ(names, c.names) << c.what;
        EXPECT_EQ(failed, c.failed) << c.what;
    }
}

// A record's fields that its form does not carry start afresh for each record:
// an absent record after a directory's has no time, a directory's after a
// file's no hash.
TEST(Record, NothingOfOneRecordLeaksIntoTheNext) {
    bool failed = true;
    const auto records = read_all("f" + counting_hex + " 1a file\nd2b dir\naname\n", failed);
    EXPECT_FALSE(failed);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].print.type, directory);
    EXPECT_EQ(records[1].print.hash, fingerprint{}.hash);
    EXPECT_EQ(records[2].print.type, absent);
    EXPECT_EQ(records[2].print.timestamp, fingerprint{}.timestamp);
}

TEST(Record, WriteHashShowsTheRecordDigitsAndResetsTheStream) {
    std::ostringstream out;
    out << std::hex << std::setfill('0');
    write_hash(out, counting_hash());
    out << std::setw(4) << 26;
    EXPECT_EQ(out.str(), counting_hex + "  26");
    EXPECT_NE(written("n", {regular_file, 0, counting_hash()}).find(counting_hex),
              std::string::npos);
}

}  // namespace
}  // namespace ombu
