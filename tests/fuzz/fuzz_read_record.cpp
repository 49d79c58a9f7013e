// The record reader over arbitrary file contents, read the way a target's
// prerequisites file is read. Beyond not crashing: every record read makes
// progress, and one read whole, with a name that a record can carry, reads
// back as itself once written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "database/record.hpp"
#include "database/recording.hpp"
#include "require.hpp"

namespace ombu {
namespace {

bool same(const fingerprint& a, const fingerprint& b) {
    if (a.type != b.type) return false;
    if (a.type == absent) return true;
    if (a.timestamp != b.timestamp) return false;
    return a.type != regular_file || a.hash == b.hash;
}

}  // namespace
}  // namespace ombu

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    while (in.good() && in.peek() != EOF) {
        const auto before = in.tellg();
        ombu::fingerprint print;
        std::string name;
        ombu::read_record(in, print, name);
        if (in.fail()) break;
        fuzz::require(in.tellg() == -1 || in.tellg() > before);
        fuzz::require(print.type >= ombu::absent && print.type <= ombu::regular_file);
        if (name.find('\0') != std::string::npos ||
            ombu::unrecordable_reason(name.c_str()) != nullptr) {
            continue;
        }
        std::ostringstream written;
        ombu::write_record(written, name, print);
        std::istringstream back(written.str());
        ombu::fingerprint print_again;
        std::string name_again;
        ombu::read_record(back, print_again, name_again);
        fuzz::require(!back.fail() && name_again == name && ombu::same(print, print_again));
        fuzz::require(back.peek() == EOF);
    }
    return 0;
}
