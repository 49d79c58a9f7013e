#include "runner/launch_job.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>

#include "base/settings.hpp"
#include "database/job_seal.hpp"
#include "database/record.hpp"
#include "fingerprint/fingerprint.hpp"
#include "jobserver/jobserver.hpp"
#include "runner/script_environment.hpp"
#include "support/scratch.hpp"

namespace ombu {
namespace {

using namespace ombu_unit;

// Writes down everything the script was started with: its arguments, its
// environment exactly as execve passed it (duplicates included), whether the
// output file was still there and which descriptors it holds.
const char* const dump_script =
    "#!/bin/sh\n"
    "printf '%s\\n' \"$0\" \"$1\" \"$2\" \"$3\" > args.txt\n"
    "tr '\\0' '\\n' < /proc/$$/environ > env.txt\n"
    "[ -e \"$3\" ] && echo stale > stale.txt\n"
    "for f in /proc/$$/fd/*; do echo \"${f##*/} $(readlink \"$f\")\"; done > fds.txt\n"
    "exit 0\n";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

int exit_status(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool locked_by_someone_else(const std::string& lock_name) {
    const int fd = open(lock_name.c_str(), O_RDONLY);
    const bool locked = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return locked;
}

class Launch : public testing::Test {
protected:
    void SetUp() override {
        mkdir(".ombu", 0777);
        // What a build started by a script inherits; its scripts must not see it.
        setenv("OMBUFLAGS", " --ombuparent-fd=99", 1);
        setenv("OMBULOCKS", " 1:2", 1);
        setenv("MAKEFLAGS", "-k", 1);
    }
    void TearDown() override {
        unsetenv("OMBUFLAGS");
        unsetenv("OMBULOCKS");
        unsetenv("MAKEFLAGS");
        debug_flag = verbose_flag = silent_flag = keep_going_flag = false;
        jobserver_fds[0] = jobserver_fds[1] = -1;
        ombuparent_fd = -1;
        clear_held_locks();
    }

    // Launches job, then forgets the fingerprints that its search took: the
    // cache is process-wide and later tests use the same names elsewhere.
    launch_result launch(Job& job, const std::vector<file_identity>& launched = {}) {
        captured_log log;
        const launch_result result = launch_job(job, "ombu", launched);
        log_ = log.str();
        for (const auto& record : record_summary(file_text(job.pending_name))) {
            process_fingerprints().forget(record.substr(2));
        }
        return result;
    }

    scratch_directory scratch_;
    std::string log_;
};

TEST_F(Launch, StartsTheScriptWithItsArgumentsEnvironmentAndPendingFile) {
    struct case_t {
        const char* target;
        const char* script;
        std::vector<std::string> arguments;
        std::vector<std::string> records;
    } cases[] = {
        {"hello", "hello.do", {"hello.do", "hello", "", "hello.doing"}, {"f:hello.do"}},
        {"sub/x.o",
         "default.o.do",
         {"default.o.do", "sub/x", ".o", "sub/x.o.doing"},
         {"a:sub/x.o.do", "a:sub/default.o.do", "a:sub/default.do", "a:x.o.do", "f:default.o.do"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        put_file(c.script, dump_script, 0755);
        put_file(std::string(c.target) + ".doing", "stale output");
        // A launching process that runs in a script of its own: the search
        // records into the job's pending file, never into its parent's.
        ombuparent_fd =
            open("parent.prereqs.build", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        const int parent_fd = ombuparent_fd;
        Job job(c.target);
        ASSERT_EQ(launch(job), launch_result::launched);
        ASSERT_GT(job.pid, 0);
        EXPECT_EQ(exit_status(job.pid), 0);
        EXPECT_EQ(log_, "");

        EXPECT_EQ(job.script, c.script);
        EXPECT_EQ(lines_of(file_text("args.txt")), c.arguments);
        EXPECT_FALSE(std::filesystem::exists("stale.txt")) << "stale output not removed first";

        // Exactly one OMBUFLAGS entry, the new one, last; the held locks before it.
        const auto environment = lines_of(file_text("env.txt"));
        ASSERT_GE(environment.size(), 2u);
        const auto flags_entries =
            std::count_if(environment.begin(), environment.end(),
                          [](const auto& e) { return e.starts_with("OMBUFLAGS="); });
        EXPECT_EQ(flags_entries, 1);
        const std::string& flags = environment.back();
        ASSERT_TRUE(flags.starts_with("OMBUFLAGS= --ombuparent-fd=")) << flags;
        const std::string pending_fd = flags.substr(flags.rfind('=') + 1);
        EXPECT_EQ(flags, ombuflags_entry(std::stoi(pending_fd)));
        EXPECT_EQ(environment[environment.size() - 2],
                  held_locks_entry(job.lock_id, job.lock_name));
        EXPECT_EQ(std::count(environment.begin(), environment.end(), "MAKEFLAGS=-k"), 1);

        // The script holds the pending file under that number, and no lock.
        const std::string descriptors = file_text("fds.txt");
        EXPECT_NE(
            descriptors.find(pending_fd + " " + scratch_.path() + "/" + job.pending_name + "\n"),
            std::string::npos)
            << descriptors;
        EXPECT_EQ(descriptors.find(".prereqs.lock"), std::string::npos) << descriptors;
        // ... and the launching process does not keep it.
        EXPECT_EQ(fcntl(std::stoi(pending_fd), F_GETFD), -1);

        EXPECT_EQ(record_summary(file_text(job.pending_name)), c.records);
        ASSERT_TRUE(job.lock.held());
        EXPECT_TRUE(job.lock_known);
        EXPECT_TRUE(locked_by_someone_else(job.lock_name));
        EXPECT_EQ(ombuparent_fd, parent_fd);
        EXPECT_EQ(file_text("parent.prereqs.build"), "");
        close(parent_fd);
        ombuparent_fd = -1;
    }
}

// The pending file takes records whatever the umask, and the job keeps its
// time just before the start as the launch's moment: the script finds it
// there, and the record of the script is of the file as the launch found it,
// not as this process's cache had it.
TEST_F(Launch, ThePendingFileTakesRecordsAndCarriesTheLaunchMoment) {
    put_file("hello.do", "#!/bin/sh\nstat -c %.9Y .ombu/hello.prereqs.build > seen.txt\n# first\n",
             0755);
    set_mtime("hello.do", 1000000000);
    process_fingerprints().lookup("hello.do");
    put_file("hello.do", "#!/bin/sh\nstat -c %.9Y .ombu/hello.prereqs.build > seen.txt\n# again\n",
             0755);
    set_mtime("hello.do", 1000000000);

    const mode_t saved_umask = umask(0277);
    Job job("hello");
    const launch_result result = launch(job);
    umask(saved_umask);
    ASSERT_EQ(result, launch_result::launched);
    EXPECT_EQ(exit_status(job.pid), 0);

    struct stat status;
    ASSERT_EQ(stat(job.pending_name.c_str(), &status), 0);
    EXPECT_NE(status.st_mode & S_IWUSR, 0u);
    EXPECT_EQ(status.st_mtim.tv_sec, job.launched_at.tv_sec);
    EXPECT_EQ(status.st_mtim.tv_nsec, job.launched_at.tv_nsec);
    char launched[32];
    std::snprintf(launched, sizeof launched, "%lld.%09ld\n",
                  static_cast<long long>(job.launched_at.tv_sec), job.launched_at.tv_nsec);
    EXPECT_EQ(file_text("seen.txt"), launched);

    std::istringstream records(file_text(job.pending_name));
    fingerprint recorded;
    std::string name;
    read_record(records, recorded, name);
    EXPECT_EQ(name, "hello.do");
    EXPECT_TRUE(recorded.hash == make_fingerprint("hello.do").hash);
}

TEST(OmbuflagsEntry, FlagsInOrderThenParentThenJobServer) {
    struct case_t {
        bool keep_going, debug, silent, verbose;
        int read_end, write_end;
        const char* entry;
    } cases[] = {
        {false, false, false, false, -1, -1, "OMBUFLAGS= --ombuparent-fd=7"},
        {false, true, false, true, 3, 4,
         "OMBUFLAGS= --debug --verbose --ombuparent-fd=7 --jobserver-fds=3,4"},
        {true, true, true, true, 5, -1,
         "OMBUFLAGS= --keep-going --debug --silent --verbose --ombuparent-fd=7 --jobserver-fds=5"},
        {true, false, true, false, 6, 6,
         "OMBUFLAGS= --keep-going --silent --ombuparent-fd=7 --jobserver-fds=6,6"},
    };
    for (const auto& c : cases) {
        keep_going_flag = c.keep_going;
        debug_flag = c.debug;
        silent_flag = c.silent;
        verbose_flag = c.verbose;
        jobserver_fds[0] = c.read_end;
        jobserver_fds[1] = c.write_end;
        EXPECT_EQ(ombuflags_entry(7), c.entry);
    }
    debug_flag = verbose_flag = silent_flag = keep_going_flag = false;
    jobserver_fds[0] = jobserver_fds[1] = -1;
}

TEST_F(Launch, TracesTheLockingAndTheStart) {
    put_file("hello.do", dump_script, 0755);
    debug_flag = verbose_flag = true;
    jobserver_fds[0] = 3;
    jobserver_fds[1] = 4;
    Job job("hello");
    ASSERT_EQ(launch(job), launch_result::launched);
    EXPECT_EQ(exit_status(job.pid), 0);
    EXPECT_EQ(log_,
              "ombu: INFO: .ombu/hello.prereqs.lock: Locking ...\n"
              "ombu: INFO: RECORD-PREREQUISITES: > hello.do<\n"
              "ombu: INFO: spawn: hello.do hello  hello.doing\n");
    const std::string flags = lines_of(file_text("env.txt")).back();
    EXPECT_TRUE(flags.starts_with("OMBUFLAGS= --debug --verbose --ombuparent-fd=")) << flags;
    EXPECT_TRUE(flags.ends_with(" --jobserver-fds=3,4")) << flags;
}

TEST_F(Launch, AScriptThatCannotBeExecutedEndsWith255) {
    struct case_t {
        const char* what;
        std::function<void()> setup;
        const char* message;
    } cases[] = {
        {"no execute permission", [] { put_file("hello.do", dump_script, 0644); },
         "hello.do: Permission denied\n"},
        {"a directory", [] { mkdir("hello.do", 0777); }, "hello.do: Permission denied\n"},
        {"no interpreter", [] { put_file("hello.do", "#!/no/such/shell\n", 0755); },
         "hello.do: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all("hello.do");
        c.setup();
        // The child writes its line straight to the standard error descriptor.
        const int saved_stderr = dup(STDERR_FILENO);
        const int child_stderr = open("child-stderr", O_WRONLY | O_CREAT | O_TRUNC, 0666);
        dup2(child_stderr, STDERR_FILENO);
        close(child_stderr);
        Job job("hello");
        const launch_result result = launch(job);
        const int status = job.pid > 0 ? exit_status(job.pid) : -1;
        dup2(saved_stderr, STDERR_FILENO);
        close(saved_stderr);

        ASSERT_EQ(result, launch_result::launched);
        EXPECT_EQ(status, 255);
        EXPECT_EQ(file_text("child-stderr"), c.message);
        // Lock and pending file stay for the scheduler to finish the job.
        EXPECT_TRUE(job.lock.held());
        EXPECT_EQ(access(job.pending_name.c_str(), F_OK), 0);
    }
}

TEST_F(Launch, FailuresBeforeTheStart) {
    struct case_t {
        const char* what;
        std::function<void()> setup;
        const char* log;
    } cases[] = {
        {"no database directory", [] { rmdir(".ombu"); },
         "ombu: ERROR: .ombu/foo.prereqs.lock: No such file or directory\n"
         "ombu: INFO: .ombu: No build database here: ombu makes one; run the build from the "
         "directory that holds it.\n"},
        {"pending file cannot be opened", [] { mkdir(".ombu/foo.prereqs.build", 0777); },
         "ombu: ERROR: .ombu/foo.prereqs.build: Is a directory\n"},
        {"no script", [] {},
         "ombu: ERROR: foo: Cannot find .do file to use.\n"
         "ombu: INFO: foo: No file of this name exists either: is the name misspelt?\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_directory scratch;
        mkdir(".ombu", 0777);
        c.setup();
        ombuparent_fd = 42;
        Job job("foo");
        EXPECT_EQ(launch(job), launch_result::failed);
        EXPECT_EQ(log_, c.log);
        EXPECT_EQ(job.pid, -1);
        // The lock is let go at once: another process may be waiting for it.
        EXPECT_FALSE(job.lock.held());
        EXPECT_EQ(ombuparent_fd, 42);
    }
    // A failed search leaves no pending file: the name stays no target.
    Job job("foo");
    EXPECT_EQ(launch(job), launch_result::failed);
    EXPECT_NE(access(job.pending_name.c_str(), F_OK), 0);

    // The output of a failed script keeps it, sealed: no job runs on it.
    put_file("foo", "left by a failed script");
    Job again("foo");
    EXPECT_EQ(launch(again), launch_result::failed);
    const int pending = open(again.pending_name.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(pending, 0);
    EXPECT_TRUE(parent_job_ended(pending));
    close(pending);
}

TEST_F(Launch, AnotherSpellingOfALaunchedTargetIsADuplicate) {
    put_file("foo.do", "#!/bin/sh\n", 0755);
    Job first("foo");
    ASSERT_EQ(launch(first), launch_result::launched);
    EXPECT_EQ(exit_status(first.pid), 0);
    ASSERT_TRUE(first.lock_known);

    // The first job still holds the lock: a duplicate must not wait for it.
    Job second("./foo");
    EXPECT_EQ(launch(second, {first.lock_id}), launch_result::duplicate);
    EXPECT_EQ(log_, "");
    EXPECT_EQ(second.pid, -1);
    EXPECT_FALSE(second.lock.held());
    EXPECT_TRUE(second.lock_id == first.lock_id);
}

TEST_F(Launch, ALockHeldUpstreamIsADependencyCycle) {
    put_file("foo.do", "#!/bin/sh\n", 0755);
    const int fd = open(".ombu/foo.prereqs.lock", O_WRONLY | O_CREAT, 0600);
    file_identity id;
    ASSERT_TRUE(identity_of(fd, id));
    close(fd);
    push_judged_lock(id, ".ombu/foo.prereqs.lock");

    Job job("foo");
    EXPECT_EQ(launch(job), launch_result::failed);
    EXPECT_EQ(log_, "ombu: ERROR: foo: Dependency cycle detected.\n");
    EXPECT_EQ(job.pid, -1);
    EXPECT_FALSE(job.lock.held());
    EXPECT_FALSE(locked_by_someone_else(job.lock_name));
}

}  // namespace
}  // namespace ombu
