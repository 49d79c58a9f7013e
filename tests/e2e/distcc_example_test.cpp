// The distcc example: the hello program's C files compiled through distcc,
// against a distccd started here on the loopback address only, with
// ombu -j8. The job server bounds how many compiles run at once, however
// many objects are asked for.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

// A port that was free a moment ago on 127.0.0.1.
int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    close(fd);
    return ntohs(address.sin_port);
}

bool accepts_connections(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

// distccd in the foreground, in a process group of its own, ended with its
// workers at destruction.
class distcc_daemon {
public:
    distcc_daemon(int port, const std::string& log) {
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            const std::string port_text = std::to_string(port);
            execlp("distccd", "distccd", "--daemon", "--no-detach", "--allow", "127.0.0.1",
                   "--listen", "127.0.0.1", "--port", port_text.c_str(), "--log-file", log.c_str(),
                   "--jobs", "2", static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid_ > 0) setpgid(pid_, pid_);
    }
    ~distcc_daemon() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGTERM);
        int status;
        waitpid(pid_, &status, 0);
    }
    distcc_daemon(const distcc_daemon&) = delete;
    distcc_daemon& operator=(const distcc_daemon&) = delete;
    bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

private:
    pid_t pid_ = -1;
};

TEST(DistccExample, JobServerBoundsTheCompilesSentToTheBuildHost) {
    if (run_shell("command -v distcc && command -v distccd", "/").status != 0) {
        GTEST_SKIP() << "distcc is not installed (Debian package distcc)";
    }
    temp_dir dir;
    // distccd drops root for its own user, which must write the log.
    chmod(dir.path().c_str(), 0755);
    const std::string log = dir / "distccd.log";
    write_file(log, "", 0666);
    ASSERT_EQ(mkdir((dir / "distcc").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "hello").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "state").c_str(), 0755), 0);
    copy_example("distcc", dir / "distcc");
    copy_example("hello", dir / "hello");
    // More objects than job slots: sixteen more files to compile.
    std::vector<std::string> targets{"all"};
    for (int i = 1; i <= 16; ++i) {
        const std::string name = "unit" + std::to_string(i);
        write_file(dir / ("hello/" + name + ".c"),
                   "int " + name + "(void) { return " + std::to_string(i) + "; }\n");
        targets.push_back(name + ".o");
    }
    // The scripts' distcc, noting when each compile starts and ends; it runs
    // the real one, found without its own directory on the path.
    write_file(dir / "bin/distcc",
               "#!/bin/sh\n"
               "echo start >> \"$COMPILE_LOG\"\n"
               "PATH=\"$REAL_PATH\" distcc \"$@\"; status=$?\n"
               "sleep 0.2\n"
               "echo end >> \"$COMPILE_LOG\"\n"
               "exit $status\n",
               0755);

    const int port = free_port();
    ASSERT_GT(port, 0);
    distcc_daemon daemon(port, log);
    for (int i = 0; i < 100 && !accepts_connections(port); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(daemon.running()) << read_file(log);
    ASSERT_TRUE(accepts_connections(port)) << read_file(log);

    const char* path = std::getenv("PATH");
    const std::string system_path = path != nullptr ? path : "/usr/bin:/bin";
    const env_list env{
        {"PATH", dir / "bin" + ":" + binary_dir() + ":" + system_path},
        {"REAL_PATH", binary_dir() + ":" + system_path},
        {"DISTCC_HOSTS", "127.0.0.1:" + std::to_string(port) + "/8"},
        {"DISTCC_DIR", dir / "state"},
        {"DISTCC_FALLBACK", "0"},  // fail rather than compile here
        {"COMPILE_LOG", dir / "compiles.log"},
    };
    std::vector<std::string> args{"-j8"};
    args.insert(args.end(), targets.begin(), targets.end());
    const run_result built = run_command("ombu", args, dir / "distcc", env);
    ASSERT_EQ(built.status, 0) << built.err << read_file(log);
    EXPECT_EQ(run_program({dir / "distcc/hello", "distcc"}, dir.path()).out,
              "Hello, distcc!\n(6 letters)\n");

    std::istringstream lines(read_file(dir / "compiles.log"));
    int running = 0, most = 0, compiles = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line == "start") {
            ++compiles;
            most = std::max(most, ++running);
        } else if (line == "end") {
            --running;
        }
    }
    EXPECT_EQ(compiles, 19);
    EXPECT_LE(most, 8);
    EXPECT_GE(most, 2);
    // Every compile was done by the daemon.
    const std::string daemon_log = read_file(log);
    std::size_t done = 0;
    for (auto at = daemon_log.find("COMPILE_OK"); at != std::string::npos;
         at = daemon_log.find("COMPILE_OK", at + 1)) {
        ++done;
    }
    EXPECT_EQ(done, 19u) << daemon_log;
}

}  // namespace
}  // namespace ombu_test
