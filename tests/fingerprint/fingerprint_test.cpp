#include "fingerprint/fingerprint.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/scratch.hpp"
#include "support/unprivileged.hpp"

namespace ombu {
namespace {

digest digest_of(const std::string& content) {
    cubehash_state state;
    state.absorb(content.data(), content.size());
    return state.finish();
}

const digest zero_hash{};

// Each test works in a fresh directory of its own, by relative names.
class FingerprintTest : public ::testing::Test {
protected:
    static void write_file(const std::string& name, const std::string& content) {
        ombu_unit::put_file(name, content);
    }
    static void set_mtime(const std::string& name, std::int64_t seconds, long nanoseconds = 0) {
        ombu_unit::set_mtime(name, seconds, nanoseconds);
    }

    ombu_unit::scratch_directory scratch_;
};

TEST_F(FingerprintTest, KindTimeAndHashOfEachKindOfName) {
    write_file("empty", "");
    // Past one read piece, so the file is digested in several reads.
    std::string big(10000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13);
    write_file("big", big);
    ASSERT_EQ(mkdir("sub", 0755), 0);
    ASSERT_EQ(symlink("big", "link"), 0);
    ASSERT_EQ(symlink("nowhere", "dangling"), 0);
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    // Distinct times, so a link cannot borrow its target's; the sub-second
    // part is dropped.
    set_mtime("empty", 1000, 999999999);
    set_mtime("big", 2000);
    set_mtime("sub", 3000);
    set_mtime("link", 4000);
    set_mtime("dangling", 5000);
    set_mtime("fifo", 6000);

    struct kind_case {
        const char* name;
        std::int32_t type;
        std::int64_t timestamp;
        digest hash;
    };
    const kind_case cases[] = {
        {"missing", absent, -1, zero_hash},
        {"missing/below", absent, -1, zero_hash},
        {"empty", regular_file, 1000, digest_of("")},
        {"big", regular_file, 2000, digest_of(big)},
        {"sub", directory, 3000, zero_hash},
        {"sub/", directory, 3000, zero_hash},
        {"link", special, 4000, zero_hash},
        {"dangling", special, 5000, zero_hash},
        // Never opened: opening a FIFO without a writer would block.
        {"fifo", special, 6000, zero_hash},
    };
    for (const auto& c : cases) {
        const fingerprint print = make_fingerprint(c.name);
        EXPECT_EQ(print.type, c.type) << c.name;
        EXPECT_EQ(print.timestamp, c.timestamp) << c.name;
        EXPECT_EQ(print.hash, c.hash) << c.name;
        // Made from a status the caller took, an existing name gets the same.
        struct stat status;
        if (lstat(c.name, &status) != 0) continue;
        const fingerprint from_status = fingerprint_of_status(c.name, status);
        EXPECT_EQ(from_status.type, c.type) << c.name;
        EXPECT_EQ(from_status.timestamp, c.timestamp) << c.name;
        EXPECT_EQ(from_status.hash, c.hash) << c.name;
    }
}

TEST_F(FingerprintTest, TimesBeforeTheEpochStayNegative) {
    write_file("old", "x");
    set_mtime("old", -86400);
    EXPECT_EQ(make_fingerprint("old").timestamp, -86400);
}

TEST_F(FingerprintTest, UnreadableFileGetsTheEmptyDigest) {
    write_file("secret", "content");
    set_mtime("secret", 7000);
    ASSERT_EQ(chmod("secret", 0), 0);
    const auto run = ombu_unit::run_unprivileged([] {
        const fingerprint print = make_fingerprint("secret");
        return std::to_string(print.type) + " " + std::to_string(print.timestamp) +
               (print.hash == digest_of("") ? " empty" : " other");
    });
    if (run.skipped) GTEST_SKIP() << run.reason;
    EXPECT_EQ(run.reason, "");
    EXPECT_EQ(run.output, std::to_string(regular_file) + " 7000 empty");
}

TEST_F(FingerprintTest, PreviousHashIsReusedOnlyWhenTheTimeAgrees) {
    write_file("file", "now");
    set_mtime("file", 8000);
    ASSERT_EQ(mkdir("sub", 0755), 0);
    set_mtime("sub", 8000);
    digest recorded{};
    recorded.fill(0x5a);

    struct previous_case {
        const char* what;
        const char* name;
        fingerprint previous;
        std::int32_t type;
        digest hash;
    };
    const previous_case cases[] = {
        // Content changed within the recorded second: the change goes unseen.
        {"same time", "file", {regular_file, 8000, recorded}, regular_file, recorded},
        // Only the time is compared, not the recorded kind.
        {"was a directory", "file", {directory, 8000, recorded}, regular_file, recorded},
        {"other time", "file", {regular_file, 7999, recorded}, regular_file, digest_of("now")},
        {"not a regular file", "sub", {regular_file, 8000, recorded}, directory, zero_hash},
    };
    for (const auto& c : cases) {
        const fingerprint print = make_fingerprint(c.name, &c.previous);
        EXPECT_EQ(print.type, c.type) << c.what;
        EXPECT_EQ(print.timestamp, 8000) << c.what;
        EXPECT_EQ(print.hash, c.hash) << c.what;
    }
}

TEST_F(FingerprintTest, CacheKeepsTheFirstFingerprintUntilForgotten) {
    fingerprint_cache cache;
    write_file("file", "first");
    set_mtime("file", 9000);

    const fingerprint& first = cache.lookup("file");
    EXPECT_EQ(first.hash, digest_of("first"));

    // Later changes, and a previous that would otherwise be taken, are not seen.
    write_file("file", "second");
    set_mtime("file", 9001);
    const fingerprint other{regular_file, 9001, zero_hash};
    const fingerprint& again = cache.lookup("file", &other);
    EXPECT_EQ(&again, &first);
    EXPECT_EQ(again.timestamp, 9000);
    EXPECT_EQ(again.hash, digest_of("first"));

    // Another spelling of the same file is another entry.
    EXPECT_EQ(cache.lookup("./file").hash, digest_of("second"));

    cache.forget("missing");
    cache.forget("file");
    const fingerprint& fresh = cache.lookup("file", &other);
    EXPECT_EQ(fresh.timestamp, 9001);
    EXPECT_EQ(fresh.hash, zero_hash);  // taken from previous: the time agrees
}

// A lent hash proves nothing about the file's contents: it may answer only a
// caller that lends the same time again. A caller that compares contents (no
// previous: recording, or a record not trusted by its time), or a previous of
// another time, gets the file's own hash, and so does everyone after it.
TEST_F(FingerprintTest, ALentHashAnswersOnlyACallerLendingTheSameTime) {
    const fingerprint lent_time{regular_file, 9000, zero_hash};
    const fingerprint other_time{regular_file, 8000, zero_hash};
    struct step {
        const fingerprint* previous;
        bool hashed;  // the answer is the file's own digest
    };
    const struct {
        const char* name;
        std::vector<step> steps;
    } cases[] = {
        {"same time again", {{&lent_time, false}, {&lent_time, false}}},
        {"no previous", {{&lent_time, false}, {nullptr, true}, {&lent_time, true}}},
        {"another time", {{&lent_time, false}, {&other_time, true}, {&lent_time, true}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fingerprint_cache cache;
        write_file("file", "contents");
        set_mtime("file", 9000);
        for (const step& s : c.steps) {
            const fingerprint& print = cache.lookup("file", s.previous);
            EXPECT_EQ(print.timestamp, 9000);
            EXPECT_EQ(print.hash, s.hashed ? digest_of("contents") : zero_hash);
            EXPECT_EQ(cache.holds_taken("file"), s.hashed);
        }
    }
}

}  // namespace
}  // namespace ombu
