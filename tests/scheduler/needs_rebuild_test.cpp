#include "scheduler/needs_rebuild.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>

#include "base/process.hpp"
#include "base/settings.hpp"
#include "fingerprint/fingerprint.hpp"
#include "locking/held_locks.hpp"
#include "support/scratch.hpp"

namespace ombu {
namespace {

using ombu_unit::captured_log;
using ombu_unit::put_file;
using ombu_unit::scratch_directory;
using ombu_unit::set_mtime;

// The digest of empty content, and a recorded hash that no content has here.
const std::string empty_hash = "67dfa7b6b3cb27c58c19db1d7bbb7c4596913e25f228ddfb9910ddf3c5cad2eb";
const std::string other_hash(64, '0');

void empty_file(const std::string& path, std::time_t mtime) {
    put_file(path);
    set_mtime(path, mtime);
}

void directory(const std::string& path, std::time_t mtime) {
    std::filesystem::create_directories(path);
    set_mtime(path, mtime);
}

// Target t, built, with the given prerequisites file.
void target_with(const std::string& records) {
    put_file("t", "built");
    put_file(".ombu/t.prereqs", records);
}

// Runs the judging of t with the flags given, in a fresh directory and with
// no fingerprint of the names used here cached from earlier cases.
struct judging {
    rebuild_decision decision;
    std::string log;
};

judging judge(const std::function<void()>& setup, bool verbose, bool keep_going = false,
              bool always = false, const char* name = "t") {
    scratch_directory scratch;
    for (const char* used : {"t", "p", "q", "r", "x", "y"}) process_fingerprints().forget(used);
    setup();
    verbose_flag = verbose;
    keep_going_flag = keep_going;
    captured_log log;
    const rebuild_decision decision = needs_rebuild(always, "ombu", name);
    verbose_flag = keep_going_flag = false;
    return {decision, log.str()};
}

// The lines of a log that the verbose flag does not select.
std::string without_reasons(const std::string& log) {
    std::istringstream lines(log);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        if (line.find(" needs rebuilding because ") == std::string::npos) kept += line + "\n";
    }
    return kept;
}

constexpr auto up_to_date = rebuild_decision::up_to_date;
constexpr auto rebuild = rebuild_decision::rebuild;
constexpr auto cycle = rebuild_decision::cycle;

class NeedsRebuild : public ::testing::Test {
protected:
    // Reason times are shown in local time: pin the zone.
    void SetUp() override {
        const char* zone = std::getenv("TZ");
        saved_zone_ = zone != nullptr ? zone : "";
        had_zone_ = zone != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (had_zone_) {
            setenv("TZ", saved_zone_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::string saved_zone_;
    bool had_zone_ = false;
};

// Makes the prerequisite p: "" none, "file" (empty), "dir", "link" (to an
// existing file), with the modification time given.
void make_prerequisite(const std::string& kind, std::time_t mtime) {
    if (kind == "file") empty_file("p", mtime);
    if (kind == "dir") directory("p", mtime);
    if (kind == "link") {
        put_file("there");
        ASSERT_EQ(symlink("there", "p"), 0);
        set_mtime("p", mtime);
    }
}

TEST_F(NeedsRebuild, ComparesRecordedAndPresentFingerprints) {
    const std::string why = "ombu: INFO: t needs rebuilding because p";
    const std::string f_empty = "f" + empty_hash + " 3e8 p\n";  // recorded at 1000 (0x3e8)
    const std::string f_other = "f" + other_hash + " 3e8 p\n";
    struct case_t {
        const char* what;
        const char* p;  // what p is now
        std::time_t mtime;
        std::string records;
        rebuild_decision decision;
        std::string log;  // with the verbose flag
    } cases[] = {
        {"unchanged file", "file", 1000, f_empty, up_to_date, ""},
        {"rewritten with the same contents", "file", 2000, f_empty, up_to_date, ""},
        {"new contents", "file", 2000, f_other, rebuild,
         why + " has changed hash value from " + other_hash + " to " + empty_hash + ".\n"},
        {"changed within the recorded second", "file", 1000, f_other, up_to_date, ""},
        {"file became a directory", "dir", 1000, f_empty, rebuild, why + " has changed type.\n"},
        // Never built here (no database files): a deleted source, not built
        // again by whatever script would match; the target's script decides.
        {"vanished, never built here", "", 0, f_empty, rebuild, why + " does not exist.\n"},
        {"vanished, and left alone by the nested build (a name never built)", "", 0, "d3e8 p/.\n",
         rebuild, "ombu: INFO: t needs rebuilding because p/. does not exist.\n"},
        {"absent and still absent", "", 0, "ap\n", up_to_date, ""},
        {"absent and now there", "file", 1000, "ap\n", rebuild, why + " has changed type.\n"},
        {"directory touched", "dir", 1700000000, "d6553f0ff p\n", rebuild,
         why + " has changed timestamp from 2023-11-14 22:13:19 +0000 to 2023-11-14 22:13:20 "
               "+0000.\n"},
        {"directory untouched", "dir", 1700000000, "d6553f100 p\n", up_to_date, ""},
        {"symbolic link retargeted", "link", 1000, "s3e7 p\n", rebuild,
         why + " has changed timestamp from 1970-01-01 00:16:39 +0000 to 1970-01-01 00:16:40 "
               "+0000.\n"},
        {"empty prerequisites file", "", 0, "", up_to_date, ""},
        {"file without a final line feed", "file", 1000,
         "ax\n" + f_empty.substr(0, f_empty.size() - 1), up_to_date, ""},
        {"malformed time", "file", 1000, "ax\ndzz p\n", rebuild, ""},
        {"malformed line", "", 0, "ax\n  p\n", rebuild, ""},
    };
    for (const auto& c : cases) {
        const auto setup = [&c] {
            make_prerequisite(c.p, c.mtime);
            target_with(c.records);
        };
        const judging verbose = judge(setup, true);
        EXPECT_EQ(verbose.decision, c.decision) << c.what;
        EXPECT_EQ(verbose.log, c.log) << c.what;
        const judging quiet = judge(setup, false);
        EXPECT_EQ(quiet.decision, c.decision) << c.what;
        EXPECT_EQ(quiet.log, without_reasons(c.log)) << c.what;
    }
}

// The prerequisites file's time is the launch of the script that wrote the
// records (or a later moment, once settled). A regular file recorded with a
// time in that second may have changed after the script used it without its
// time changing: its contents decide. A directory or special file has no
// contents to compare: it makes the target out of date. A record from an
// earlier second keeps the time rule.
TEST_F(NeedsRebuild, ARecordFromTheSecondOfItsLaunchIsNotTrustedByItsTime) {
    const std::string why = "ombu: INFO: t needs rebuilding because p ";
    const std::string in_its_second =
        why +
        "may have changed after it was recorded, within the second of its time "
        "(1970-01-01 00:16:40 +0000).\n";
    struct case_t {
        const char* p;  // what p is, with the time 1000 (0x3e8)
        std::string record;
        std::time_t written_at;
        rebuild_decision decision;
        std::string log;
    } cases[] = {
        {"file", "f" + other_hash + " 3e8 p\n", 1000, rebuild,
         why + "has changed hash value from " + other_hash + " to " + empty_hash + ".\n"},
        {"file", "f" + other_hash + " 3e8 p\n", 1001, up_to_date, ""},
        {"dir", "d3e8 p\n", 1000, rebuild, in_its_second},
        {"dir", "d3e8 p\n", 999, rebuild, in_its_second},
        {"dir", "d3e8 p\n", 1001, up_to_date, ""},
        {"link", "s3e8 p\n", 1000, rebuild, in_its_second},
        {"link", "s3e8 p\n", 1001, up_to_date, ""},
    };
    for (const auto& c : cases) {
        const judging result = judge(
            [&] {
                make_prerequisite(c.p, 1000);
                target_with(c.record);
                set_mtime(".ombu/t.prereqs", c.written_at);
            },
            true);
        EXPECT_EQ(result.decision, c.decision) << c.p << " " << c.written_at;
        EXPECT_EQ(result.log, c.log) << c.p << " " << c.written_at;
    }
}

// One process judges t after another build rebuilt its prerequisite q, a
// target, and wrote q's records: the fingerprint that this process cached of
// q before (judging another target) must not answer for q after q's new
// records were read.
TEST_F(NeedsRebuild, ATargetIsComparedAfterItsRecordsAreRead) {
    scratch_directory scratch;
    for (const char* used : {"t", "q"}) process_fingerprints().forget(used);
    put_file("q", "old");
    set_mtime("q", 1000);
    put_file(".ombu/q.prereqs");
    const fingerprint old = process_fingerprints().lookup("q");
    std::ostringstream hash;
    for (auto byte : old.hash) hash << std::hex << (byte >> 4) << (byte & 0xf);
    target_with("f" + hash.str() + " 3e8 q\n");
    EXPECT_EQ(needs_rebuild(false, "ombu", "t"), up_to_date);

    // The other build's commit: a new q, new records.
    put_file("q", "new");
    set_mtime("q", 2000);
    put_file(".ombu/q.prereqs");
    EXPECT_EQ(needs_rebuild(false, "ombu", "t"), rebuild);
    for (const char* used : {"t", "q"}) process_fingerprints().forget(used);
}

// A record from the second its file was written, confirmed by a hash taken in
// a later second, settles: the file's time moves on, and from then on the
// record's time is trusted again. A record that does not match settles nothing.
TEST_F(NeedsRebuild, ARecordConfirmedByItsContentsSettles) {
    const std::string f_empty = "f" + empty_hash + " 3e8 p\n";  // recorded at 1000
    struct case_t {
        const char* content;
        rebuild_decision decision;
    } cases[] = {{"", up_to_date}, {"changed", rebuild}};
    for (const auto& c : cases) {
        scratch_directory scratch;
        process_fingerprints().forget("p");
        put_file("p", c.content);
        set_mtime("p", 1000);
        target_with(f_empty);
        set_mtime(".ombu/t.prereqs", 1000);
        EXPECT_EQ(needs_rebuild(false, "ombu", "t"), c.decision) << c.content;
        struct stat status;
        ASSERT_EQ(stat(".ombu/t.prereqs", &status), 0);
        EXPECT_EQ(status.st_mtime > 1000, c.decision == up_to_date) << c.content;
        if (c.decision == rebuild) continue;

        // Settled: the time is trusted, as for any record older than its file.
        put_file("p", "changed");
        set_mtime("p", 1000);
        process_fingerprints().forget("p");
        EXPECT_EQ(needs_rebuild(false, "ombu", "t"), up_to_date);
    }
    process_fingerprints().forget("p");
}

// Two targets of one process record p with the same hash and time. The first
// trusts the time (its records are from a later second) and lends that hash;
// the second, whose records are from p's own second, must judge p by what it
// holds now, not by the hash the first lent.
TEST_F(NeedsRebuild, AHashLentToOneTargetIsNotTheContentsForAnother) {
    scratch_directory scratch;
    process_fingerprints().forget("p");
    const std::string f_empty = "f" + empty_hash + " 3e8 p\n";  // recorded at 1000, empty
    put_file("p", "changed, its time set back");
    set_mtime("p", 1000);
    put_file("t", "built");
    put_file(".ombu/t.prereqs", f_empty);
    set_mtime(".ombu/t.prereqs", 1001);
    put_file("u", "built");
    put_file(".ombu/u.prereqs", f_empty);
    set_mtime(".ombu/u.prereqs", 1000);
    EXPECT_EQ(needs_rebuild(false, "ombu", "t"), up_to_date);
    EXPECT_EQ(needs_rebuild(false, "ombu", "u"), rebuild);
    process_fingerprints().forget("p");
}

TEST_F(NeedsRebuild, TargetMissingOrWithoutPrerequisitesFile) {
    const judging missing = judge([] { put_file(".ombu/t.prereqs"); }, true);
    EXPECT_EQ(missing.decision, rebuild);
    EXPECT_EQ(missing.log, "ombu: INFO: t needs rebuilding because it does not exist.\n");
    const judging stale = judge(
        [] {
            put_file("t");
            put_file(".ombu/t.prereqs.build");
        },
        true);
    EXPECT_EQ(stale.decision, rebuild);
    EXPECT_EQ(stale.log, "");
}

TEST_F(NeedsRebuild, KeepGoingComparesAndReportsEveryPrerequisite) {
    const auto setup = [] {
        for (const char* name : {"p", "q", "r"}) empty_file(name, 2000);
        empty_file("x", 1000);
        target_with("f" + other_hash + " 3e8 p\nf" + empty_hash + " 3e8 x\nd3e8 q\nar\n");
    };
    const std::string why = "ombu: INFO: t needs rebuilding because ";
    const std::string first =
        why + "p has changed hash value from " + other_hash + " to " + empty_hash + ".\n";
    const judging stopping = judge(setup, true);
    EXPECT_EQ(stopping.decision, rebuild);
    EXPECT_EQ(stopping.log, first);
    const judging going_on = judge(setup, true, true);
    EXPECT_EQ(going_on.decision, rebuild);
    EXPECT_EQ(going_on.log, first + why + "q has changed type.\n" + why + "r has changed type.\n");
}

TEST_F(NeedsRebuild, NamesNeverBuiltAndSourceFiles) {
    for (bool always : {false, true}) {
        for (const char* name : {"/", ".", "..", "sub/", "sub/.", "sub/.."}) {
            const judging j = judge([] { put_file("sub/file"); }, true, false, always, name);
            EXPECT_EQ(j.decision, up_to_date) << name;
            EXPECT_EQ(j.log, "") << name;
        }
        const judging source = judge([] { put_file("t"); }, true, false, always);
        EXPECT_EQ(source.decision, up_to_date);
        EXPECT_EQ(source.log, "");
    }
    // A target, up to date or missing, is rebuilt without a word when always.
    EXPECT_EQ(judge([] { target_with(""); }, true, false, true).decision, rebuild);
    const judging missing = judge([] { put_file(".ombu/t.prereqs"); }, true, false, true);
    EXPECT_EQ(missing.decision, rebuild);
    EXPECT_EQ(missing.log, "");
}

// Only a record of a regular file lends its hash to the fingerprint that the
// cache keeps, and no record lends anything to the next one.
TEST_F(NeedsRebuild, RecordsLendNothingToOtherNames) {
    const judging j = judge(
        [] {
            put_file("x", "x contents");
            set_mtime("x", 1000);
            put_file("y", "y contents");
            set_mtime("y", 1000);
            put_file("q", "q contents");
            set_mtime("q", 1000);
            const fingerprint x = make_fingerprint("x");
            std::ostringstream hash;
            for (auto byte : x.hash) hash << std::hex << (byte >> 4) << (byte & 0xf);
            // y was a directory with y's present time; q absent.
            target_with("f" + hash.str() + " 3e8 x\nd3e8 y\naq\n");
        },
        false, true);
    EXPECT_EQ(j.decision, rebuild);
    scratch_directory check;
    put_file("y", "y contents");
    put_file("q", "q contents");
    EXPECT_EQ(process_fingerprints().lookup("y").hash, make_fingerprint("y").hash);
    EXPECT_EQ(process_fingerprints().lookup("q").hash, make_fingerprint("q").hash);
}

// Whether a recorded name is a source is asked afresh at every judgement: a
// name that was one becomes a target once another build gives it a pending
// file, and a dangling symbolic link is none. Either is then brought up to
// date first (here its nested build finds no script), so t is rebuilt.
TEST_F(NeedsRebuild, ARecordedNameIsASourceOnlyWhileItIsOne) {
    scratch_directory scratch;
    for (const char* used : {"t", "p"}) process_fingerprints().forget(used);
    empty_file("p", 1000);
    target_with("f" + empty_hash + " 3e8 p\n");
    const std::string no_script = "ombu: ERROR: p: Cannot find .do file to use.\n";
    {
        captured_log log;
        EXPECT_EQ(needs_rebuild(false, "ombu", "t"), up_to_date);
        put_file(".ombu/p.prereqs.build");
        EXPECT_EQ(needs_rebuild(false, "ombu", "t"), rebuild);
        EXPECT_NE(log.str().find(no_script), std::string::npos) << log.str();
    }
    std::remove("p");
    std::remove(".ombu/p.prereqs.build");
    process_fingerprints().forget("p");
    ASSERT_EQ(symlink("nowhere", "p"), 0);
    set_mtime("p", 1000);
    target_with("s3e8 p\n");  // the link as it was recorded
    captured_log log;
    EXPECT_EQ(needs_rebuild(false, "ombu", "t"), rebuild);
    EXPECT_NE(log.str().find(no_script), std::string::npos) << log.str();
    process_fingerprints().forget("p");
}

TEST_F(NeedsRebuild, ALockHeldUpstreamIsACycle) {
    // This process's own judging of t holds t's lock.
    const judging held = judge(
        [] {
            target_with("");
            const int fd = open_lock_file(AT_FDCWD, ".ombu/t.prereqs.lock");
            file_identity id;
            ASSERT_TRUE(identity_of(fd, id));
            push_judged_lock(id, ".ombu/t.prereqs.lock");
            close_fd(fd);
        },
        true);
    pop_judged_lock();
    EXPECT_EQ(held.decision, cycle);
    EXPECT_EQ(held.log, "ombu: ERROR: t: Dependency cycle detected.\n");

    // t records itself: the nested judging of t meets the lock of the outer
    // one, the nested build fails, and t is out of date.
    const judging itself = judge([] { target_with("f" + empty_hash + " 3e8 t\n"); }, true);
    EXPECT_EQ(itself.decision, rebuild);
    EXPECT_EQ(itself.log, "ombu: ERROR: t: Dependency cycle detected.\n");
    clear_held_locks();
}

}  // namespace
}  // namespace ombu
