// Splitting an options variable into words. Beyond not crashing: a word list
// written back with every character escaped splits into the same words.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands/tokenize_flags.hpp"
#include "require.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the leading dash; the text ends at a NUL byte,
    // as an environment value does.
    const bool leading_dash = (data[0] & 1) != 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::vector<std::string> words = ombu::tokenize_flags(text.c_str(), leading_dash);

    if (leading_dash && !words.empty()) fuzz::require(words.front().compare(0, 1, "-") == 0);
    std::string written;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        written += ' ';
        // A word may be empty ("" alone): quotes keep it a word.
        written += "\"\"";
        for (std::size_t j = i == 0 && leading_dash ? 1 : 0; j < word.size(); ++j) {
            written += '\\';
            written += word[j];
        }
    }
    fuzz::require(ombu::tokenize_flags(written.c_str(), false).size() == words.size());
    std::vector<std::string> again = ombu::tokenize_flags(written.c_str(), leading_dash);
    if (!again.empty() && leading_dash) {
        // The dash was added again in front of the first word.
        fuzz::require(again.front().compare(0, 1, "-") == 0);
    }
    fuzz::require(again == words);
    return 0;
}
