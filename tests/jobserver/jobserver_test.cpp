#include "jobserver/jobserver.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "base/settings.hpp"
#include "jobserver/job_slot.hpp"
#include "jobserver/token_reader.hpp"
#include "support/scratch.hpp"

namespace ombu {
namespace {

using ombu_unit::captured_log;
using ombu_unit::file_text;
using ombu_unit::put_file;
using ombu_unit::scratch_directory;

int bytes_in(int fd) {
    int count = -1;
    ioctl(fd, FIONREAD, &count);
    return count;
}

bool is_nonblocking(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

class JobServer : public testing::Test {
protected:
    void TearDown() override {
        for (int fd : {jobserver_fds[0], jobserver_fds[1]}) keep(fd);
        for (int fd : opened_) close(fd);
        jobserver_fds[0] = jobserver_fds[1] = -1;
        implicit_job_slots = 1;
        while (implicit_slot_given_back()) take_back_implicit_slot("ombu");
        debug_flag = false;
    }
    // Closed at the end of the test.
    int keep(int fd) {
        if (fd >= 0 && std::find(opened_.begin(), opened_.end(), fd) == opened_.end()) {
            opened_.push_back(fd);
        }
        return fd;
    }
    void make_pipe(int fds[2]) {
        ASSERT_EQ(pipe(fds), 0);
        keep(fds[0]);
        keep(fds[1]);
    }

    std::vector<int> opened_;
};

TEST_F(JobServer, LimitOfThreeGivesTwoTokensAndTheFourthProcureFails) {
    ASSERT_TRUE(create_jobserver("ombu", 3));
    ASSERT_GE(jobserver_fds[0], 0);
    EXPECT_EQ(bytes_in(jobserver_fds[0]), 2);
    EXPECT_FALSE(is_nonblocking(jobserver_fds[1]));
    EXPECT_EQ(fcntl(jobserver_fds[0], F_GETFD) & FD_CLOEXEC, 0);  // scripts inherit it

    char tokens[2] = {1, 1};
    ASSERT_EQ(read(jobserver_fds[0], tokens, 2), 2);
    EXPECT_EQ(tokens[0], 0);
    EXPECT_EQ(tokens[1], 0);
    ASSERT_EQ(write(jobserver_fds[1], tokens, 2), 2);

    job_slot implicit = take_job_slot("ombu");
    EXPECT_TRUE(implicit.implicit());
    EXPECT_EQ(implicit_job_slots, 0);
    EXPECT_EQ(bytes_in(jobserver_fds[0]), 2);
    job_slot first = take_job_slot("ombu");
    job_slot second = take_job_slot("ombu");
    EXPECT_TRUE(first.held() && !first.implicit());
    EXPECT_TRUE(second.held() && !second.implicit());
    EXPECT_EQ(bytes_in(jobserver_fds[0]), 0);
    EXPECT_FALSE(take_job_slot("ombu").held());
}

// Each slot goes back as it was taken, whichever job ends first: a token
// taken for a launch that does not happen goes straight back to the pipe
// while the implicit slot stays with the job that runs in it.
TEST_F(JobServer, EachSlotGoesBackAsItWasTakenOnce) {
    ASSERT_TRUE(create_jobserver("ombu", 3));
    job_slot running = take_job_slot("ombu");
    {
        job_slot put_off = take_job_slot("ombu");
        EXPECT_EQ(bytes_in(jobserver_fds[0]), 1);
    }
    EXPECT_EQ(bytes_in(jobserver_fds[0]), 2);
    EXPECT_EQ(implicit_job_slots, 0);

    job_slot token = take_job_slot("ombu");
    job_slot moved = std::move(token);
    EXPECT_FALSE(token.held());
    token.give_back();  // holds nothing: gives nothing back
    EXPECT_EQ(bytes_in(jobserver_fds[0]), 1);
    running.give_back();
    running.give_back();  // once only
    EXPECT_EQ(implicit_job_slots, 1);
    EXPECT_EQ(bytes_in(jobserver_fds[0]), 1);
    moved = take_job_slot("ombu");  // the implicit slot; the token goes back
    EXPECT_TRUE(moved.implicit());
    EXPECT_EQ(bytes_in(jobserver_fds[0]), 2);
}

TEST_F(JobServer, LimitOfOneMakesAnEmptyPipe) {
    ASSERT_TRUE(create_jobserver("ombu", 1));
    EXPECT_GE(jobserver_fds[0], 0);
    EXPECT_GE(jobserver_fds[1], 0);
    EXPECT_EQ(bytes_in(jobserver_fds[0]), 0);
}

TEST_F(JobServer, WithoutAJobServerOnlyTheImplicitSlotExists) {
    job_slot implicit = take_job_slot("ombu");
    EXPECT_TRUE(implicit.implicit());
    EXPECT_FALSE(take_job_slot("ombu").held());
    EXPECT_FALSE(give_back_implicit_slot("ombu"));  // no pipe to give it back to
    implicit.give_back();
    EXPECT_EQ(implicit_job_slots, 1);
}

// An implicit slot given back is one more token in the pipe; it is not handed
// out again meanwhile, and the first token of an ended job takes it back.
TEST_F(JobServer, LentImplicitSlotIsPaidBackByATokenOrTakenBack) {
    ASSERT_TRUE(create_jobserver("ombu", 2));
    ASSERT_TRUE(give_back_implicit_slot("ombu"));
    EXPECT_FALSE(give_back_implicit_slot("ombu"));  // given back already
    EXPECT_TRUE(implicit_slot_given_back());
    EXPECT_EQ(bytes_in(jobserver_fds[0]), 2);
    job_slot token = take_job_slot("ombu");
    EXPECT_TRUE(token.held() && !token.implicit());
    token.give_back();  // takes the implicit slot back: no byte written
    EXPECT_FALSE(implicit_slot_given_back());
    EXPECT_EQ(bytes_in(jobserver_fds[0]), 1);

    ASSERT_TRUE(give_back_implicit_slot("ombu"));
    EXPECT_EQ(bytes_in(jobserver_fds[0]), 2);
    EXPECT_TRUE(take_back_implicit_slot("ombu"));
    EXPECT_FALSE(implicit_slot_given_back());
    EXPECT_EQ(bytes_in(jobserver_fds[0]), 1);
    EXPECT_TRUE(take_job_slot("ombu").implicit());
}

TEST_F(JobServer, AuditWarnsOfMissingAndSurplusTokens) {
    ASSERT_TRUE(create_jobserver("ombu", 3));
    {
        captured_log log;
        audit_jobserver("ombu", false);
        EXPECT_EQ(log.str(), "");
    }
    char byte;
    ASSERT_EQ(read(jobserver_fds[0], &byte, 1), 1);
    {
        captured_log log;
        audit_jobserver("ombu", false);
        EXPECT_EQ(log.str(),
                  "ombu: WARNING: Job server: 1 tokens in the pipe at the end of the build; "
                  "expected 2.\n");
    }
    const char surplus[2] = {0, 0};
    ASSERT_EQ(write(jobserver_fds[1], surplus, 2), 2);
    captured_log log;
    audit_jobserver("ombu", false);
    EXPECT_EQ(log.str(),
              "ombu: WARNING: Job server: 3 tokens in the pipe at the end of the build; "
              "expected 2.\n");
}

TEST_F(JobServer, TracesOnlyUnderTheDebugFlag) {
    {
        captured_log log;
        ASSERT_TRUE(create_jobserver("ombu", 2));
        job_slot implicit = take_job_slot("ombu");
        job_slot token = take_job_slot("ombu");
        EXPECT_FALSE(take_job_slot("ombu").held());
        EXPECT_EQ(log.str(), "");
    }
    // Start again with the debug flag: the token is back in the pipe.
    debug_flag = true;
    captured_log log;
    {
        job_slot implicit = take_job_slot("ombu");
        job_slot token = take_job_slot("ombu");
        EXPECT_FALSE(take_job_slot("ombu").held());
        implicit.give_back();
    }
    EXPECT_EQ(log.str(),
              "ombu: INFO: Procured implicit job slot that is this process itself.\n"
              "ombu: INFO: Procured a job slot from the jobserver.\n"
              "ombu: INFO: Vacated implicit job slot that is this process itself.\n"
              "ombu: INFO: Vacated a job slot to the jobserver.\n");
}

TEST_F(JobServer, FillingTheNewPipeTracesEachToken) {
    debug_flag = true;
    captured_log log;
    ASSERT_TRUE(create_jobserver("ombu", 3));
    EXPECT_EQ(log.str(),
              "ombu: INFO: Vacated a job slot to the jobserver.\n"
              "ombu: INFO: Vacated a job slot to the jobserver.\n");
}

TEST_F(JobServer, ZeroLimitIsFatal) {
    captured_log log;
    EXPECT_FALSE(create_jobserver("ombu", 0));
    EXPECT_EQ(log.str(), "ombu: FATAL: Invalid job limit.\n");
    EXPECT_EQ(jobserver_fds[0], -1);
}

TEST_F(JobServer, LimitBeyondThePipeIsCutDownWithAWarning) {
    captured_log log;
    ASSERT_TRUE(create_jobserver("ombu", 10000, 4096));
    EXPECT_EQ(log.str(),
              "ombu: WARNING: Job limit 10000 does not fit in the jobserver pipe; using 4097.\n");
    EXPECT_EQ(bytes_in(jobserver_fds[0]), 4096);
    // Back to blocking now that other processes may share it.
    EXPECT_FALSE(is_nonblocking(jobserver_fds[1]));
}

TEST_F(JobServer, PipeGrowsForALimitBeyondItsDefaultSize) {
    captured_log log;
    ASSERT_TRUE(create_jobserver("ombu", 100000));
    EXPECT_EQ(log.str(), "");
    EXPECT_EQ(bytes_in(jobserver_fds[0]), 99999);
}

TEST_F(JobServer, TakingFromAnEmptyPipeNeverWaitsNorChangesTheSharedEnd) {
    int fds[2];
    make_pipe(fds);
    EXPECT_FALSE(take_token(fds[0]));
    EXPECT_FALSE(is_nonblocking(fds[0]));
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_TRUE(take_token(fds[0]));
    EXPECT_EQ(bytes_in(fds[0]), 0);
    EXPECT_FALSE(take_token(fds[0]));
}

TEST_F(JobServer, TakingFollowsANewPipeUnderAReusedNumber) {
    int first[2];
    ASSERT_EQ(pipe(first), 0);
    EXPECT_FALSE(take_token(first[0]));
    close(first[0]);
    close(first[1]);
    int second[2];
    make_pipe(second);
    ASSERT_EQ(second[0], first[0]);  // the lowest free numbers come back
    ASSERT_EQ(write(second[1], "x", 1), 1);
    EXPECT_TRUE(take_token(second[0]));
}

TEST_F(JobServer, TimerBoundsABlockingReadOfAnEmptyPipe) {
    int fds[2];
    make_pipe(fds);
    EXPECT_FALSE(take_token_with_timer(fds[0]));
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_TRUE(take_token_with_timer(fds[0]));
    // The alarm signal is left as it was found.
    struct sigaction action;
    sigaction(SIGALRM, nullptr, &action);
    EXPECT_EQ(action.sa_handler, SIG_DFL);
}

TEST_F(JobServer, AdoptsTheEndsOfAPipe) {
    int fds[2];
    make_pipe(fds);
    std::string text = std::to_string(fds[0]) + "," + std::to_string(fds[1]);
    captured_log log;
    EXPECT_TRUE(adopt_jobserver("ombu", text.c_str(), true));
    EXPECT_EQ(jobserver_fds[0], fds[0]);
    EXPECT_EQ(jobserver_fds[1], fds[1]);
    EXPECT_EQ(log.str(), "");
}

TEST_F(JobServer, MalformedListIsAnError) {
    captured_log log;
    EXPECT_FALSE(adopt_jobserver("ombu", "3;4", true));
    EXPECT_EQ(log.str(), "ombu: ERROR: 3;4: ;4: Missing comma.\n");
}

TEST_F(JobServer, DescriptorsThatCannotBeAJobServerAreLeftAlone) {
    scratch_directory scratch;
    put_file("plain");
    int file = keep(open("plain", O_RDWR));
    int directory = keep(open(".", O_RDONLY | O_DIRECTORY));
    int device = keep(open("/dev/null", O_RDWR));
    int terminal = keep(posix_openpt(O_RDWR | O_NOCTTY));
    int first[2], second[2], pair[2];
    make_pipe(first);
    make_pipe(second);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    keep(pair[0]);
    keep(pair[1]);
    int closed = open("/dev/null", O_RDONLY);
    close(closed);

    auto list = [](int r, int w) { return std::to_string(r) + "," + std::to_string(w); };
    std::vector<std::string> texts = {
        std::to_string(closed),   std::to_string(file),      list(directory, directory),
        list(device, device),     list(first[0], second[1]),  // ends of two different pipes
        list(first[1], first[0]),                             // the ends swapped
        list(pair[0], pair[1]),  // two sockets, even if the ends of one pair
    };
    if (terminal >= 0) texts.push_back(std::to_string(terminal));
    for (const auto& text : texts) {
        captured_log log;
        EXPECT_TRUE(adopt_jobserver("ombu", text.c_str(), true)) << text;
        EXPECT_EQ(log.str(), "ombu: WARNING: " + text +
                                 ": Not an open jobserver pipe; running without a jobserver.\n");
        EXPECT_EQ(jobserver_fds[0], -1) << text;
        EXPECT_EQ(jobserver_fds[1], -1) << text;
        // Only the implicit slot; no byte goes anywhere.
        job_slot implicit = take_job_slot("ombu");
        EXPECT_TRUE(implicit.implicit());
        EXPECT_FALSE(take_job_slot("ombu").held());
    }
    EXPECT_EQ(file_text("plain"), "");
    EXPECT_EQ(bytes_in(first[0]), 0);
    EXPECT_EQ(bytes_in(second[0]), 0);
}

TEST_F(JobServer, AdoptsAFifoNamedByPath) {
    scratch_directory scratch;
    ASSERT_EQ(mkfifo("jobs", 0600), 0);
    captured_log log;
    EXPECT_TRUE(adopt_jobserver("ombu", ("fifo:" + scratch.path() + "/jobs").c_str(), true));
    EXPECT_EQ(log.str(), "");
    ASSERT_GE(jobserver_fds[0], 0);
    EXPECT_EQ(jobserver_fds[1], jobserver_fds[0]);
    EXPECT_EQ(fcntl(jobserver_fds[0], F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_FALSE(is_nonblocking(jobserver_fds[0]));

    {
        job_slot implicit = take_job_slot("ombu");
        EXPECT_TRUE(implicit.implicit());
        EXPECT_FALSE(take_job_slot("ombu").held());
        ASSERT_EQ(write(jobserver_fds[1], "+", 1), 1);  // make's tokens are '+'
        job_slot token = take_job_slot("ombu");
        EXPECT_TRUE(token.held());
        EXPECT_EQ(bytes_in(jobserver_fds[0]), 0);
    }
    EXPECT_EQ(bytes_in(jobserver_fds[0]), 1);
}

// One socket carries tokens both ways: what a peer writes to the other end
// of the pair is read here, and tokens given back go to the peer.
TEST_F(JobServer, AdoptsOneSocketAsBothEnds) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    keep(pair[0]);
    keep(pair[1]);
    captured_log log;
    EXPECT_TRUE(adopt_jobserver("ombu", std::to_string(pair[0]).c_str(), false));
    EXPECT_EQ(log.str(), "");
    EXPECT_EQ(jobserver_fds[0], pair[0]);
    EXPECT_EQ(jobserver_fds[1], pair[0]);

    {
        job_slot implicit = take_job_slot("ombu");
        EXPECT_TRUE(implicit.implicit());
        EXPECT_FALSE(take_job_slot("ombu").held());  // no token yet, and no waiting
        ASSERT_EQ(write(pair[1], "++", 2), 2);
        job_slot first = take_job_slot("ombu");
        job_slot second = take_job_slot("ombu");
        EXPECT_TRUE(first.held() && second.held());
        EXPECT_FALSE(take_job_slot("ombu").held());
        EXPECT_FALSE(is_nonblocking(pair[0]));  // shared with others: left blocking
    }
    EXPECT_EQ(bytes_in(pair[1]), 2);  // both tokens back, to the peer
}

// "fifo:PATH" is make's form of --jobserver-auth; given as a descriptor list
// it is malformed like any other text without a number.
TEST_F(JobServer, FifoFormOnlyWhereAllowed) {
    scratch_directory scratch;
    ASSERT_EQ(mkfifo("jobs", 0600), 0);
    const std::string text = "fifo:" + scratch.path() + "/jobs";
    captured_log log;
    EXPECT_FALSE(adopt_jobserver("ombu", text.c_str(), false));
    EXPECT_EQ(log.str(),
              "ombu: ERROR: " + text + ": " + text + ": File descriptor number not supplied.\n");
    EXPECT_EQ(jobserver_fds[0], -1);
}

TEST_F(JobServer, UnusableFifoIsWarnedAboutAndIgnored) {
    scratch_directory scratch;
    put_file("plain");
    const struct {
        const char* text;
        const char* warning;
    } cases[] = {
        {"fifo:missing",
         "ombu: WARNING: missing: No such file or directory; running without a jobserver.\n"},
        {"fifo:plain", "ombu: WARNING: plain: Not a FIFO; running without a jobserver.\n"},
        {"fifo:", "ombu: WARNING: : No such file or directory; running without a jobserver.\n"},
    };
    for (const auto& c : cases) {
        captured_log log;
        EXPECT_TRUE(adopt_jobserver("ombu", c.text, true));
        EXPECT_EQ(log.str(), c.warning);
        EXPECT_EQ(jobserver_fds[0], -1);
    }
}

}  // namespace
}  // namespace ombu
