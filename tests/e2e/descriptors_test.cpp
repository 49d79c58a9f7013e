// The descriptors that the executable and its scripts hold: closed standard
// descriptors at start-up, what a script inherits, a job server on a socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "e2e/harness.hpp"

namespace ombu_test {
namespace {

// A standard descriptor closed at start-up is opened on /dev/null: a
// script's standard input is never the job-server pipe, and diagnostics
// never go into a database file.
TEST(Descriptors, ClosedStandardDescriptorsBecomeDevNull) {
    temp_dir dir;
    // Reads its standard input to the end: with the job-server pipe as
    // standard input it would eat the tokens and wait for ever.
    write_file(dir / "in.do", "#!/bin/sh\ncat >/dev/null\nreadlink /proc/$$/fd/0 > \"$3\"\n", 0755);
    write_file(dir / "bad.do", "#!/bin/sh\nexit 1\n", 0755);
    write_file(dir / "f", "abc");

    run_result r = run_shell("timeout 30 ombu -j2 in 0<&-", dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir / "in"), "/dev/null\n");

    r = run_shell("cubehash f 1>&-", dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    r = run_shell("ombu bad 2>&-", dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    for (const auto& entry : std::filesystem::directory_iterator(dir / ".ombu")) {
        EXPECT_EQ(read_file(entry.path()).find("Not done"), std::string::npos) << entry.path();
    }
}

// leaf.do lists its open descriptors (those of ls, less the directory that
// ls reads) and the OMBUFLAGS it got.
const char* const listing_script =
    "#!/bin/sh\n"
    "ombu-ifchange src\n"
    "{ echo \"$OMBUFLAGS\"; echo \"OMBUALIVE=$OMBUALIVE\"; ls -l /proc/self/fd; } > \"$3\"\n";

std::set<int> listed_descriptors(const std::string& listing) {
    std::set<int> fds;
    const std::regex line("([0-9]+) -> (.*)");
    const std::regex own_directory("/proc/[0-9]+/fd");
    for (std::sregex_iterator it(listing.begin(), listing.end(), line), end; it != end; ++it) {
        if (!std::regex_match((*it)[2].str(), own_directory)) fds.insert(std::stoi((*it)[1]));
    }
    return fds;
}

std::set<int> expected_descriptors(const std::string& listing) {
    std::smatch parent, jobserver, watch;
    std::set<int> fds = {0, 1, 2};
    if (std::regex_search(listing, parent, std::regex("--ombuparent-fd=([0-9]+)"))) {
        fds.insert(std::stoi(parent[1]));
    }
    if (std::regex_search(listing, jobserver, std::regex("--jobserver-fds=([0-9]+),([0-9]+)"))) {
        fds.insert(std::stoi(jobserver[1]));
        fds.insert(std::stoi(jobserver[2]));
    }
    // The read end of the outermost build's watch pipe.
    if (std::regex_search(listing, watch, std::regex("OMBUALIVE=([0-9]+):"))) {
        fds.insert(std::stoi(watch[1]));
    }
    return fds;
}

// Under nested builds (all -> mid -> leaf), leaf's script holds only the
// standard descriptors, its own pending prerequisites file, the job server
// and the read end of the outermost build's watch: not the files of the builds above it, nor the
// prerequisites file that the build judging mid is reading while leaf is rebuilt.
TEST(Descriptors, ScriptsInheritOnlyTheirOwnDescriptors) {
    temp_dir dir;
    write_file(dir / "all.do", "#!/bin/sh -e\nombu-ifchange mid\ncat mid > \"$3\"\n", 0755);
    write_file(dir / "mid.do", "#!/bin/sh -e\nombu-ifchange leaf\ncat leaf > \"$3\"\n", 0755);
    write_file(dir / "leaf.do", listing_script, 0755);
    for (const char* content : {"1", "22"}) {
        // The second run changes src, so leaf is rebuilt while mid is judged.
        write_file(dir / "src", content);
        run_result r = run_command("ombu", {"-j2", "all"}, dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string listing = read_file(dir / "leaf");
        ASSERT_NE(listing.find("--jobserver-fds="), std::string::npos) << listing;
        ASSERT_TRUE(std::regex_search(listing, std::regex("OMBUALIVE=[0-9]+:"))) << listing;
        EXPECT_EQ(listed_descriptors(listing), expected_descriptors(listing))
            << "run with src " << content << ":\n"
            << listing;
    }
}

// One end of a socket pair, handed down as descriptor 7, is a job server:
// the build takes the token written from the other end and gives it back.
TEST(Descriptors, JobServerOnOneSocket) {
    temp_dir dir;
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    ASSERT_EQ(write(pair[1], "+", 1), 1);
    write_file(dir / "default.do", "#!/bin/sh\necho \"$OMBUFLAGS\" > \"$3\"\n", 0755);

    run_result r = run_command("ombu", {"a", "b"}, dir.path(),
                               {{"OMBUFLAGS", " --debug --jobserver-fds=7"}}, {{7, pair[0]}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("ombu: INFO: Procured a job slot from the jobserver.\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("Not an open jobserver pipe"), std::string::npos) << r.err;
    EXPECT_TRUE(std::regex_match(
        read_file(dir / "a"), std::regex(" --debug --ombuparent-fd=[0-9]+ --jobserver-fds=7,7\n")))
        << read_file(dir / "a");
    // The token was taken from this side's peer and came back to it.
    EXPECT_EQ(bytes_in(pair[0]), 0);
    EXPECT_EQ(bytes_in(pair[1]), 1);
    close(pair[0]);
    close(pair[1]);
}

}  // namespace
}  // namespace ombu_test
