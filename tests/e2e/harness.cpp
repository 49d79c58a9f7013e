#include "e2e/harness.hpp"

#include <fcntl.h>
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/scratch.hpp"

extern char** environ;

namespace ombu_test {

namespace {

const char* const steering_variables[] = {"OMBUFLAGS", "MAKEFLAGS", "MFLAGS",    "MAKELEVEL",
                                          "__MKLVL__", "OMBULOCKS", "OMBUBUILD", "OMBUALIVE"};

std::vector<std::string> child_environment(const env_list& changes) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('='));
        bool drop = name == "PATH";
        for (const char* steering : steering_variables) drop = drop || name == steering;
        for (const auto& change : changes) drop = drop || name == change.first;
        if (!drop) result.push_back(text);
    }
    const char* path = std::getenv("PATH");
    std::string new_path = binary_dir() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
    bool path_changed = false;
    for (const auto& change : changes) {
        if (change.first == "PATH") path_changed = true;
        result.push_back(change.first + "=" + change.second);
    }
    if (!path_changed) result.push_back("PATH=" + new_path);
    return result;
}

void drain(int out_fd, int err_fd, run_result& result) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    char buffer[4096];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
}

// In the child: descriptors above 2 are closed at exec, except those handed on.
void hand_on_descriptors(const fd_list& fds) {
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    for (const auto& [number, fd] : fds) {
        if (number != fd) {
            dup2(fd, number);
        } else {
            fcntl(fd, F_SETFD, 0);
        }
    }
}

run_result spawn(const std::string& path, const std::vector<std::string>& argv,
                 const std::string& cwd, const env_list& env, bool search,
                 const fd_list& fds = {}) {
    std::vector<std::string> environment = child_environment(env);
    std::vector<char*> env_pointers;
    for (auto& entry : environment) env_pointers.push_back(entry.data());
    env_pointers.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> arg_pointers;
    for (auto& arg : args) arg_pointers.push_back(arg.data());
    arg_pointers.push_back(nullptr);

    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, 0);
        hand_on_descriptors(fds);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        if (search) {
            environ = env_pointers.data();
            execvp(path.c_str(), arg_pointers.data());
        } else {
            execve(path.c_str(), arg_pointers.data(), env_pointers.data());
        }
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    run_result result;
    drain(out_pipe[0], err_pipe[0], result);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // A build that made a job server checks at its end that every token came
    // back: no run of any test may lose or make one.
    EXPECT_EQ(result.err.find("tokens in the pipe at the end of the build"), std::string::npos)
        << result.err;
    return result;
}

}  // namespace

std::string binary_dir() { return OMBU_BINARY_DIR; }

temp_dir::temp_dir() : path_(ombu_unit::make_temp_directory("ombu-test")) {}

temp_dir::~temp_dir() {
    // Give back any permissions a test took away, so everything can go.
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            chmod(it->path().c_str(), 0755);
        }
    }
    std::filesystem::remove_all(path_, ignored);
}

run_result run_command(const std::string& name, const std::vector<std::string>& args,
                       const std::string& cwd, const env_list& env, const fd_list& fds) {
    std::vector<std::string> argv{name};
    argv.insert(argv.end(), args.begin(), args.end());
    return spawn(binary_dir() + "/" + name, argv, cwd, env, false, fds);
}

run_result run_program(const std::vector<std::string>& argv, const std::string& cwd,
                       const env_list& env) {
    return spawn(argv.at(0), argv, cwd, env, true);
}

run_result run_shell(const std::string& command, const std::string& cwd, const env_list& env) {
    return spawn("/bin/sh", {"sh", "-c", command}, cwd, env, false);
}

void write_file(const std::string& path, const std::string& content, unsigned mode) {
    std::filesystem::path p(path);
    if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) throw std::runtime_error("cannot write " + path);
    }
    chmod(path.c_str(), mode);
}

void set_edited_ago(const std::string& path, int seconds) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const timespec times[2] = {{now.tv_sec - seconds, 0}, {now.tv_sec - seconds, 0}};
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        throw std::runtime_error("cannot set the time of " + path);
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

void copy_example(const std::string& name, const std::string& to) {
    const std::string from = std::string(OMBU_SOURCE_DIR) + "/examples/" + name;
    std::vector<std::string> ignored;
    std::istringstream patterns(read_file(from + "/.gitignore"));
    for (std::string line; std::getline(patterns, line);) {
        if (!line.empty() && line[0] != '#' && line[0] != '!') ignored.push_back(line);
    }
    for (const auto& entry : std::filesystem::directory_iterator(from)) {
        if (!entry.is_regular_file()) continue;
        const std::string file = entry.path().filename().string();
        bool skip = false;
        for (const auto& pattern : ignored)
            skip = skip || fnmatch(pattern.c_str(), file.c_str(), 0) == 0;
        if (!skip) std::filesystem::copy_file(entry.path(), to + "/" + file);
    }
}

std::vector<std::string> rebuilt_targets(const std::string& diagnostics) {
    std::vector<std::string> targets;
    std::istringstream lines(diagnostics);
    const std::string info = ": INFO: ", done = ": Ombune.";
    for (std::string line; std::getline(lines, line);) {
        const auto start = line.find(info);
        if (start == std::string::npos || !line.ends_with(done)) continue;
        targets.push_back(
            line.substr(start + info.size(), line.size() - done.size() - start - info.size()));
    }
    return targets;
}

int most_at_once(const std::string& log) {
    std::istringstream lines(log);
    std::string word, name;
    int running = 0, most = 0;
    while (lines >> word >> name) {
        running += word == "start" ? 1 : -1;
        most = std::max(most, running);
    }
    return most;
}

int bytes_in(int fd) {
    int count = -1;
    ioctl(fd, FIONREAD, &count);
    return count;
}

std::string wait_for(const std::string& file) {
    return "for i in $(seq 200); do [ -e " + file + " ] && break; sleep 0.1; done; ";
}

run_result guarded(const std::string& command, const std::string& cwd) {
    return run_program({"timeout", "120", "sh", "-c", command}, cwd);
}

}  // namespace ombu_test
