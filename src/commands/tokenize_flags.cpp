#include "commands/tokenize_flags.hpp"

#include <cctype>
#include <utility>

namespace ombu {

namespace {

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::vector<std::string> tokenize_flags(const char* text, bool leading_dash) {
    std::vector<std::string> words;
    const char* p = text;
    for (;;) {
        while (is_space(*p)) ++p;
        if (*p == '\0') break;
        std::string word = words.empty() && leading_dash ? "-" : "";
        bool quoted = false;
        for (; *p != '\0'; ++p) {
            if (*p == '"') {
                quoted = !quoted;
            } else if (*p == '\\') {
                if (p[1] != '\0') ++p;  // a final backslash stands for itself
                word += *p;
            } else if (is_space(*p) && !quoted) {
                break;
            } else {
                word += *p;
            }
        }
        words.push_back(std::move(word));
    }
    return words;
}

}  // namespace ombu
