// Descriptor lists. Beyond not crashing: a list that is accepted holds
// numbers that, written back, are accepted as the same; a refused one has
// exactly one ERROR line that names the whole text first.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "jobserver/jobserver.hpp"
#include "require.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int count = (data[0] & 1) != 0 ? 2 : 1;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::ostringstream log;
    std::streambuf* saved = std::clog.rdbuf(log.rdbuf());
    int fds[2] = {-1, -1};
    const bool accepted = ombu::parse_fd_list("ombu", text.c_str(), fds, count);
    std::clog.rdbuf(saved);

    const std::string line = log.str();
    if (!accepted) {
        const std::string prefix = "ombu: ERROR: " + std::string(text.c_str()) + ": ";
        fuzz::require(line.compare(0, prefix.size(), prefix) == 0);
        fuzz::require(line.find('\n') == line.size() - 1 || text.find('\n') != std::string::npos);
        return 0;
    }
    fuzz::require(line.empty());
    std::string written = std::to_string(fds[0]);
    if (count == 2) written += "," + std::to_string(fds[1]);
    int again[2] = {-1, -1};
    fuzz::require(ombu::parse_fd_list("ombu", written.c_str(), again, count));
    fuzz::require(again[0] == fds[0] && (count == 1 || again[1] == fds[1]));
    return 0;
}
