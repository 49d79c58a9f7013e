// Runs part of a test as a user whom file permissions bind. The superuser
// (whom CI runs as) reads and removes whatever it likes, so a test of what
// happens when permission is refused runs its part as "nobody" there.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

namespace ombu_unit {

// The user to run as when the test runs as the superuser.
struct unprivileged_user {
    bool found = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

inline unprivileged_user nobody() {
    const passwd* entry = getpwnam("nobody");
    if (entry == nullptr || entry->pw_uid == 0) return {};
    return {true, entry->pw_uid, entry->pw_gid};
}

struct unprivileged_run {
    bool skipped = false;  // no unprivileged user could run it; reason says why
    std::string reason;    // why it was skipped, or how the child failed
    std::string output;    // what the body returned
};

inline unprivileged_run skipped_run(const std::string& reason) { return {true, reason, ""}; }
inline unprivileged_run failed_run(const std::string& reason) { return {false, reason, ""}; }

// Runs body in the current directory, as it is when the test is unprivileged,
// otherwise in a child process as "nobody", to whom the directory is handed
// over first; returns what body returned.
inline unprivileged_run run_unprivileged(const std::function<std::string()>& body) {
    if (geteuid() != 0) return {false, "", body()};
    const unprivileged_user user = nobody();
    if (!user.found) return skipped_run("the superuser runs the tests and there is no user nobody");
    if (chown(".", user.uid, user.gid) != 0) {
        return skipped_run(std::string("cannot give the test directory to nobody: ") +
                           std::strerror(errno));
    }
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return failed_run(std::string("pipe: ") + std::strerror(errno));
    constexpr int cannot_switch = 125;
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipe_ends[0]);
        if (setgroups(0, nullptr) != 0 || setgid(user.gid) != 0 || setuid(user.uid) != 0) {
            _exit(cannot_switch);
        }
        const std::string output = body();
        const bool written = write(pipe_ends[1], output.data(), output.size()) ==
                             static_cast<ssize_t>(output.size());
        _exit(written ? 0 : 1);
    }
    close(pipe_ends[1]);
    if (pid < 0) {
        close(pipe_ends[0]);
        return failed_run(std::string("fork: ") + std::strerror(errno));
    }
    unprivileged_run run;
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_ends[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0) {
            run.output.append(buffer, static_cast<std::size_t>(n));
        } else if (errno != EINTR) {
            break;
        }
    }
    close(pipe_ends[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == cannot_switch) {
        return skipped_run("the superuser runs the tests and cannot switch to user nobody here");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        run.reason =
            "the part run as nobody did not end well (wait status " + std::to_string(status) + ")";
    }
    return run;
}

}  // namespace ombu_unit
