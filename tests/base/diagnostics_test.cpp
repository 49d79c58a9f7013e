#include "base/diagnostics.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>

namespace ombu {
namespace {

TEST(DiagnosticPrefix, WritesProgramTagAndLevel) {
    struct {
        const char* program;
        const char* tag;
        log_level level;
        const char* line;
    } cases[] = {
        {"ombu", "", log_level::fatal, "ombu: FATAL: text\n"},
        {"ombu-ifchange", "1", log_level::info, "ombu-ifchange[1]: INFO: text\n"},
        {"ombu", "007", log_level::warning, "ombu[007]: WARNING: text\n"},
        {"", "", log_level::error, ": ERROR: text\n"},
    };
    std::ostringstream captured;
    std::streambuf* saved = std::clog.rdbuf(captured.rdbuf());
    for (const auto& c : cases) {
        captured.str("");
        log_tag = c.tag;
        diagnostic_prefix(c.program, c.level) << "text\n";
        EXPECT_EQ(captured.str(), c.line);
    }
    std::clog.rdbuf(saved);
    log_tag.clear();
}

// "<subject>: [<what>: ]<system text>", or the system text alone.
TEST(ReportSystemError, JoinsSubjectWhatAndSystemText) {
    std::ostringstream captured;
    std::streambuf* saved = std::clog.rdbuf(captured.rdbuf());
    report_system_error("ombu", "a/b", ENOENT);
    report_system_error("ombu", "t", EACCES, "Unable to rename target file");
    report_system_error("ombu", EIO);
    report_system_error("ombu", "pipe", EMFILE, nullptr, log_level::fatal);
    std::clog.rdbuf(saved);
    EXPECT_EQ(captured.str(), std::string("ombu: ERROR: a/b: ") + std::strerror(ENOENT) +
                                  "\nombu: ERROR: t: Unable to rename target file: " +
                                  std::strerror(EACCES) + "\nombu: ERROR: " + std::strerror(EIO) +
                                  "\nombu: FATAL: pipe: " + std::strerror(EMFILE) + "\n");
}

// Each line reaches standard error in one write, whatever the pieces it was
// written in; what is left without a line feed goes out at a flush.
TEST(LineBufferedLog, WritesWholeLines) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const int saved_stderr = dup(STDERR_FILENO);
    dup2(pipe_fds[1], STDERR_FILENO);
    std::streambuf* saved = std::clog.rdbuf();
    use_line_buffered_log();
    std::clog << "first" << ' ' << 1 << '\n' << "second";
    char text[64] = {};
    const ssize_t first = read(pipe_fds[0], text, sizeof text);
    std::clog << " line\n"
              << "tail" << std::flush;
    std::clog.rdbuf(saved);
    dup2(saved_stderr, STDERR_FILENO);
    close(saved_stderr);
    close(pipe_fds[1]);
    EXPECT_EQ(std::string(text, static_cast<std::size_t>(first)), "first 1\n");
    std::string rest;
    for (ssize_t n; (n = read(pipe_fds[0], text, sizeof text)) > 0;) {
        rest.append(text, static_cast<std::size_t>(n));
    }
    close(pipe_fds[0]);
    EXPECT_EQ(rest, "second line\ntail");
}

}  // namespace
}  // namespace ombu
