#include "commands/make_level.hpp"

#include <cstdlib>
#include <string>

#include "base/diagnostics.hpp"

namespace ombu {

void export_make_level() {
    const char* received = std::getenv("MAKELEVEL");
    if (received == nullptr) received = std::getenv("__MKLVL__");
    unsigned long level = 1;
    if (received != nullptr) {
        log_tag = received;
        // Automatic base; a text without digits counts as 0.
        level = std::strtoul(received, nullptr, 0) + 1;
    }
    std::string text = std::to_string(level);
    setenv("MAKELEVEL", text.c_str(), 1);
    setenv("__MKLVL__", text.c_str(), 1);
}

}  // namespace ombu
