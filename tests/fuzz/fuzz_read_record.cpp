// The reader of a prerequisites file over arbitrary contents. Beyond not
// crashing: every record read makes progress, and one read whole, with a name
// that a record can carry, reads back as itself once written, alone.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

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
    std::vector<ombu::prerequisite_record> records;
    ombu::read_records(in, records);
    // Every record read consumed at least its tag.
    fuzz::require(records.size() <= size);
    for (const auto& record : records) {
        const auto& [print, name] = record;
        fuzz::require(print.type >= ombu::absent && print.type <= ombu::regular_file);
        if (name.find('\0') != std::string::npos ||
            ombu::unrecordable_reason(name.c_str()) != nullptr) {
            continue;
        }
        std::ostringstream written;
        ombu::write_record(written, name, print);
        std::istringstream back(written.str());
        std::vector<ombu::prerequisite_record> again;
        fuzz::require(ombu::read_records(back, again) && again.size() == 1);
        fuzz::require(again[0].name == name && ombu::same(print, again[0].print));
    }
    return 0;
}
