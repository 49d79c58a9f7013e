#include "scheduler/commit.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "base/process.hpp"
#include "base/settings.hpp"
#include "fingerprint/fingerprint.hpp"
#include "jobserver/jobserver.hpp"
#include "support/scratch.hpp"

namespace ombu {
namespace {

using ombu_unit::captured_log;
using ombu_unit::file_text;
using ombu_unit::put_file;
using ombu_unit::scratch_directory;

// What a path holds, in a few words: "-" missing, "file:<text>", "dir", "link:<target>".
std::string state_of(const std::string& path) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return "-";
    if (S_ISDIR(status.st_mode)) return "dir";
    if (S_ISLNK(status.st_mode)) return "link:" + std::filesystem::read_symlink(path).string();
    return "file:" + file_text(path);
}

// The files that ending a job of target t may touch, in one line.
std::string job_files() {
    return "t=" + state_of("t") + " doing=" + state_of("t.doing") +
           " prereqs=" + state_of(".ombu/t.prereqs") +
           " pending=" + state_of(".ombu/t.prereqs.build");
}

enum class ending { commit, fail };

struct ending_case {
    const char* what;
    std::function<void()> setup;  // besides .ombu/t.prereqs "old" and .ombu/t.prereqs.build "new"
    ending how;
    bool silent;
    std::string files;  // job_files() afterwards
    std::string log;
    bool result;
};

// Ends a locked job of target t that holds the process's slot, as the job loop does.
void end_job(const ending_case& c) {
    put_file(".ombu/t.prereqs", "old");
    put_file(".ombu/t.prereqs.build", "new");
    c.setup();
    Job job("t");
    ASSERT_EQ(take_target_lock(
                  "ombu", {.target = job.target, .lock_name = job.lock_name, .exclusive = true},
                  job.lock),
              lock_status::locked);
    job.slot = take_job_slot("ombu");
    ASSERT_TRUE(job.slot.implicit());
    silent_flag = c.silent;
    bool result = true;
    captured_log log;
    if (c.how == ending::commit) {
        commit_job(job, "ombu", result);
    } else {
        fail_job(job, "ombu", result);
    }
    silent_flag = false;
    EXPECT_EQ(job_files(), c.files) << c.what;
    EXPECT_EQ(log.str(), c.log) << c.what;
    EXPECT_EQ(result, c.result) << c.what;
    EXPECT_FALSE(job.lock.held()) << c.what;
    EXPECT_FALSE(job.slot.held()) << c.what;
    EXPECT_EQ(implicit_job_slots, 1) << c.what;
    // The lock is free for another open file again.
    const int other = open(job.lock_name.c_str(), O_WRONLY | O_CLOEXEC);
    EXPECT_TRUE(lock_whole_file(other, true));
    close(other);
}

TEST(EndingAJob, FilesLeftAndLinesPrinted) {
    const std::string ombune = "ombu: INFO: t: Ombune.\n";
    const std::string not_done = "ombu: ERROR: t: Not done.\n";
    const ending_case cases[] = {
        {"output replaces the target",
         [] {
             put_file("t", "old");
             put_file("t.doing", "built");
         },
         ending::commit, false, "t=file:built doing=- prereqs=file:new pending=-", ombune, true},
        {"no output: an empty target", [] {}, ending::commit, false,
         "t=file: doing=- prereqs=file:new pending=-", ombune, true},
        {"silent", [] { put_file("t.doing", "built"); }, ending::commit, true,
         "t=file:built doing=- prereqs=file:new pending=-", "", true},
        {"a target directory goes with its contents",
         [] {
             put_file("t/a");
             put_file("t/sub/b");
             put_file("t.doing", "built");
         },
         ending::commit, false, "t=file:built doing=- prereqs=file:new pending=-", ombune, true},
        {"a link to a directory is replaced, the directory kept",
         [] {
             put_file("dir/keep");
             (void)!symlink("dir", "t");
             put_file("t.doing", "built");
         },
         ending::commit, false, "t=file:built doing=- prereqs=file:new pending=-", ombune, true},
        {"a directory written over a regular-file target",
         [] {
             put_file("t", "old");
             put_file("t.doing/inner");
         },
         // The old records are gone and the new ones not in place: the next
         // build finds no records beside the old target and rebuilds it.
         ending::commit, false, "t=file:old doing=- prereqs=- pending=file:new",
         "ombu: ERROR: t: Unable to rename target file: Not a directory\n", false},
        {"no pending prerequisites file",
         [] {
             put_file("t", "old");
             put_file("t.doing", "built");
             std::remove(".ombu/t.prereqs.build");
         },
         ending::commit, false, "t=file:old doing=- prereqs=file:old pending=-",
         "ombu: ERROR: .ombu/t.prereqs.build: Unable to rename database file: No such file or "
         "directory\n",
         false},
        {"failed after half an output",
         [] {
             put_file("t", "old");
             put_file("t.doing", "ha");
         },
         ending::fail, false, "t=file:old doing=- prereqs=file:old pending=file:new", not_done,
         false},
        {"failed after a directory output, silent", [] { put_file("t.doing/a/b"); }, ending::fail,
         true, "t=- doing=- prereqs=file:old pending=file:new", not_done, false},
    };
    for (const auto& c : cases) {
        scratch_directory scratch;
        end_job(c);
    }
}

// Whatever its script left running records nothing more once a job has
// ended: committed or failed, its records file is sealed. The committed one
// carries the time of the launch, even if a recorder could not keep it.
TEST(EndingAJob, TheRecordsOfAnEndedJobAreSealed) {
    for (ending how : {ending::commit, ending::fail}) {
        scratch_directory scratch;
        put_file(".ombu/t.prereqs.build", "new", 0644);
        put_file("t.doing", "built");
        Job job("t");
        job.launched_at = {1000000000, 42};
        job.slot = take_job_slot("ombu");
        bool result = true;
        captured_log log;
        if (how == ending::commit) {
            commit_job(job, "ombu", result);
        } else {
            fail_job(job, "ombu", result);
        }
        const std::string records =
            how == ending::commit ? ".ombu/t.prereqs" : ".ombu/t.prereqs.build";
        EXPECT_EQ(file_text(records), "new");
        struct stat status;
        ASSERT_EQ(stat(records.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0444u);
        if (how == ending::commit) {
            EXPECT_EQ(status.st_mtim.tv_sec, 1000000000);
            EXPECT_EQ(status.st_mtim.tv_nsec, 42);
        }
    }
    process_fingerprints().forget("t");
}

TEST(EndingAJob, CommitMakesTheCacheForgetTheTarget) {
    scratch_directory scratch;
    put_file(".ombu/t.prereqs.build");
    put_file("t.doing/x");
    process_fingerprints().forget("t");
    EXPECT_EQ(process_fingerprints().lookup("t").type, absent);
    Job job("t");
    job.slot = take_job_slot("ombu");
    bool result = true;
    captured_log log;
    commit_job(job, "ombu", result);
    EXPECT_TRUE(result);
    EXPECT_EQ(process_fingerprints().lookup("t").type, directory);
    process_fingerprints().forget("t");
}

}  // namespace
}  // namespace ombu
