#include "main/diagnostics.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace ombu {
namespace {

TEST(DiagnosticPrefix, WritesProgramTagAndLevel) {
    struct {
        const char* program;
        const char* tag;
        const char* level;
        const char* line;
    } cases[] = {
        {"ombu", "", "FATAL", "ombu: FATAL: text\n"},
        {"ombu-ifchange", "1", "INFO", "ombu-ifchange[1]: INFO: text\n"},
        {"ombu", "007", "WARNING", "ombu[007]: WARNING: text\n"},
        {"", "", "ERROR", ": ERROR: text\n"},
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

}  // namespace
}  // namespace ombu
