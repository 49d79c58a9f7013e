#include "database/recording.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
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
