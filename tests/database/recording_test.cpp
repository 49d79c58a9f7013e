#include "database/recording.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <functional>
#include <sstream>

#include "base/settings.hpp"
#include "database/record.hpp"
#include "fingerprint/fingerprint.hpp"
#include "support/scratch.hpp"

namespace ombu {
namespace {

using namespace ombu_unit;

std::string digest_text(const std::string& content) {
    cubehash_state state;
    state.absorb(content.data(), content.size());
    std::ostringstream text;
    write_hash(text, state.finish());
    return text.str();
}

class Recording : public testing::Test {
protected:
    void SetUp() override {
        put_file("a", "alpha");
        mkdir("b", 0777);
        pending_fd_ = open("pending", O_WRONLY | O_CREAT | O_TRUNC, 0666);
        fd_ = pending_fd_;
    }
    void TearDown() override {
        fd_ = -1;
        debug_flag = false;
        close(pending_fd_);
        // The cache is process-wide; later tests work in other directories.
        for (const char* name : {"a", "b", "c", "x", "y", "z", "link"}) {
            process_fingerprints().forget(name);
        }
    }

    scratch_directory scratch_;
    int pending_fd_ = -1;
    int fd_ = -1;  // the file recorded into
};

TEST_F(Recording, OneWriteWithTheRecordsInNameOrder) {
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sockets), 0);
    fd_ = sockets[0];

    EXPECT_TRUE(record_prerequisites("ombu-ifchange", fd_, {"a", "b", "c", "a"}));

    // A sequenced-packet socket keeps each write call as one message.
    char message[4096];
    const ssize_t size = recv(sockets[1], message, sizeof message, MSG_DONTWAIT);
    ASSERT_GT(size, 0);
    const std::string records(message, static_cast<std::size_t>(size));
    EXPECT_EQ(record_summary(records), (std::vector<std::string>{"f:a", "d:b", "a:c", "f:a"}));
    EXPECT_NE(records.find("\nac\n"), std::string::npos) << records;
    EXPECT_EQ(recv(sockets[1], message, sizeof message, MSG_DONTWAIT), -1);
    EXPECT_EQ(errno, EAGAIN);
    close(sockets[0]);
    close(sockets[1]);
}

TEST_F(Recording, AppendsAfterWhatIsThere) {
    EXPECT_TRUE(record_prerequisites("ombu-ifchange", fd_, {"a"}));
    EXPECT_TRUE(record_absent_prerequisites("ombu-ifcreate", fd_, {"x"}));
    const std::string records = file_text("pending");
    EXPECT_EQ(record_summary(records), (std::vector<std::string>{"f:a", "a:x"}));
    EXPECT_TRUE(records.ends_with("\nax\n")) << records;
}

// The target's previous records may hold another hash for a file whose time
// has not changed (saved twice in one second, or an old time restored after a
// change): the record always carries the contents as they are now.
TEST_F(Recording, RecordsTheContentsAsTheyAreNowWhateverTheTargetRecordedBefore) {
    const std::string other_hash(64, '0');
    put_file("a", "alpha");
    set_mtime("a", 1000);
    put_file(".ombu/t.prereqs", "f" + other_hash + " 3e8 a\n");
    // Written after every change of a, even of its status.
    set_mtime(".ombu/t.prereqs", std::time(nullptr) + 100000);
    const int fd = open(".ombu/t.prereqs.build", O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ASSERT_GE(fd, 0);
    fd_ = fd;
    const bool recorded = record_prerequisites("ombu-ifchange", fd_, {"a"});
    close(fd);
    EXPECT_TRUE(recorded);
    const std::string records = file_text(".ombu/t.prereqs.build");
    EXPECT_EQ(records.find(other_hash), std::string::npos) << records;
    EXPECT_EQ(records, "f" + digest_text("alpha") + " 3e8 a\n");
}

// The pending file's time is the launch of the script (L). A source whose
// time, looked at after its fingerprint, is not earlier than L may have
// changed after the script used it: a regular file gets the all-zero hash,
// which no file has; a directory keeps its time, which its judgement cannot
// trust. A target is recorded as it is, and the file keeps the time L.
TEST_F(Recording, ASourceChangedSinceTheLaunchIsNotVouchedFor) {
    constexpr std::int64_t launch = 1000000000;
    const std::string zero_hash(64, '0');
    struct case_t {
        const char* what;
        const char* name;
        std::int64_t seconds;
        long nanoseconds;
        bool target;
        std::string record;  // %h stands for the hash of the file's contents
    } cases[] = {
        {"a source from before the launch", "x", launch, 499, false, "f%h 3b9aca00 x\n"},
        {"a source of the launch's very moment", "x", launch, 500, false,
         "f" + zero_hash + " 3b9aca00 x\n"},
        {"a source saved after the launch", "x", launch + 5, 0, false,
         "f" + zero_hash + " 3b9aca05 x\n"},
        {"a target made after the launch", "x", launch + 5, 0, true, "f%h 3b9aca05 x\n"},
        {"a directory changed after the launch", "z", launch + 5, 0, false, "d3b9aca05 z\n"},
        {"a name that is not there", "y", 0, 0, false, "ay\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_directory scratch;
        put_file("x", "contents");
        mkdir("z", 0777);
        if (c.target) put_file(".ombu/x.prereqs");
        if (c.seconds != 0) set_mtime(c.name, c.seconds, c.nanoseconds);
        const int fd = open("pending", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        set_mtime("pending", launch, 500);

        EXPECT_TRUE(record_prerequisites("ombu-ifchange", fd, {c.name}));
        close(fd);
        process_fingerprints().forget(c.name);

        std::string expected = c.record;
        if (const auto at = expected.find("%h"); at != std::string::npos) {
            expected.replace(at, 2, digest_text("contents"));
        }
        EXPECT_EQ(file_text("pending"), expected);
        struct stat status;
        ASSERT_EQ(stat("pending", &status), 0);
        EXPECT_EQ(status.st_mtim.tv_sec, launch);
        EXPECT_EQ(status.st_mtim.tv_nsec, 500);
    }
}

// A command that a script left running records after its job has ended:
// into a sealed file (committed or failed) or an unlinked one (abandoned, or
// replaced by a later launch). Nothing is written; one warning, and success:
// the names were built.
TEST_F(Recording, NothingIsRecordedOnceTheJobHasEnded) {
    const std::function<void()> endings[] = {
        [] { chmod("pending", 0444); },
        [] { unlink("pending"); },
    };
    for (const auto& end : endings) {
        scratch_directory scratch;
        put_file("a", "alpha");
        const int fd = open("pending", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        end();
        captured_log log;
        EXPECT_TRUE(record_prerequisites("ombu-ifchange", fd, {"a"}));
        EXPECT_TRUE(record_absent_prerequisites("ombu-ifcreate", fd, {"x"}));
        EXPECT_EQ(log.str(),
                  "ombu-ifchange: WARNING: Not recorded: the job of the script that ran this "
                  "command has ended.\n"
                  "ombu-ifcreate: WARNING: Not recorded: the job of the script that ran this "
                  "command has ended.\n");
        struct stat status;
        ASSERT_EQ(fstat(fd, &status), 0);
        EXPECT_EQ(status.st_size, 0);
        close(fd);
        process_fingerprints().forget("a");
        process_fingerprints().forget("x");
    }
}

TEST_F(Recording, OutsideAScriptNothingIsWritten) {
    fd_ = -1;
    captured_log log;
    EXPECT_FALSE(record_prerequisites("ombu-ifchange", fd_, {"a"}));
    EXPECT_FALSE(record_absent_prerequisites("ombu-ifcreate", fd_, {"x"}));
    EXPECT_EQ(log.str(),
              "ombu-ifchange: ERROR: Not invoked within a .do script.\n"
              "ombu-ifcreate: ERROR: Not invoked within a .do script.\n");
    EXPECT_EQ(file_text("pending"), "");
}

TEST_F(Recording, ExistingNamesAreRefusedAllAtOnce) {
    put_file("y");
    captured_log log;
    EXPECT_FALSE(record_absent_prerequisites("ombu-ifcreate", fd_, {"x", "y", "b"}));
    EXPECT_EQ(log.str(),
              "ombu-ifcreate: ERROR: y: File/directory exists.\n"
              "ombu-ifcreate: ERROR: b: File/directory exists.\n");
    EXPECT_EQ(file_text("pending"), "");
}

TEST_F(Recording, DanglingLinkPassesAsAbsentButKeepsItsFingerprint) {
    ASSERT_EQ(symlink("nowhere", "link"), 0);
    EXPECT_TRUE(record_absent_prerequisites("ombu-ifcreate", fd_, {"link"}));
    EXPECT_EQ(record_summary(file_text("pending")), std::vector<std::string>{"s:link"});
}

TEST_F(Recording, FailedWritesAreReported) {
    const int unused = dup(pending_fd_);
    close(unused);
    fd_ = unused;
    debug_flag = true;
    captured_log log;
    EXPECT_FALSE(record_prerequisites("ombu-ifchange", fd_, {"a", "b"}));
    // The trace comes before any fingerprint is taken, so also on failure.
    EXPECT_EQ(log.str(),
              "ombu-ifchange: INFO: RECORD-PREREQUISITES: > a b<\n"
              "ombu-ifchange: ERROR: Bad file descriptor\n");
}

TEST_F(Recording, PartlyWrittenRecordsAreAFailure) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    ASSERT_GT(fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096), 0);
    fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK);
    fd_ = pipe_fds[1];
    // More records than the pipe holds: a non-blocking write stores what fits.
    const std::string long_name(100, 'n');
    std::vector<std::string> names;
    for (int i = 0; i < 60; ++i) names.push_back(long_name + std::to_string(i));
    std::vector<const char*> pointers;
    for (const auto& name : names) pointers.push_back(name.c_str());
    captured_log log;
    EXPECT_FALSE(record_prerequisites("ombu-ifchange", fd_, pointers));
    EXPECT_EQ(log.str(), "ombu-ifchange: ERROR: Records only partly written.\n");
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    for (const auto& name : names) process_fingerprints().forget(name);
}

TEST(UnrecordableReason, NamesThatCannotSurviveTheRecordFormat) {
    struct case_t {
        const char* name;
        const char* reason;
    } cases[] = {
        {"", "Empty name cannot be recorded."},
        {" a", "Name beginning with white space cannot be recorded."},
        {"\ta", "Name beginning with white space cannot be recorded."},
        {"\n", "Name beginning with white space cannot be recorded."},
        {"\va", "Name beginning with white space cannot be recorded."},
        {"\fa", "Name beginning with white space cannot be recorded."},
        {"\ra", "Name beginning with white space cannot be recorded."},
        {"a\nb", "Name containing a line feed cannot be recorded."},
        {"a\n", "Name containing a line feed cannot be recorded."},
        {"a", nullptr},
        {"a b", nullptr},
        {"a ", nullptr},
        {"a\r", nullptr},
        {"-x", nullptr},
        {"dir/file.c", nullptr},
    };
    for (const auto& c : cases) {
        const char* reason = unrecordable_reason(c.name);
        if (c.reason == nullptr) {
            EXPECT_EQ(reason, nullptr) << c.name;
        } else {
            ASSERT_NE(reason, nullptr) << c.name;
            EXPECT_STREQ(reason, c.reason);
        }
    }
}

}  // namespace
}  // namespace ombu
