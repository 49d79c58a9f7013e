// Matching and value taking shared by every named option, and the three
// families that differ in how many values they take.
#include <cstring>

#include "options/tesk.hpp"

namespace tesk {

namespace {

// "-a", "-b", ...: the name of an option that has a letter but no long name,
// reported by a missing value. error::arg is a bare pointer, so these texts
// live in static storage.
struct letter_option_texts {
    char text[256][3];
};

constexpr letter_option_texts make_letter_option_texts() {
    letter_option_texts texts{};
    for (int i = 0; i < 256; ++i) {
        texts.text[i][0] = '-';
        texts.text[i][1] = static_cast<char>(i);
        texts.text[i][2] = '\0';
    }
    return texts;
}

constexpr letter_option_texts letter_options = make_letter_option_texts();

}  // namespace

named_definition::named_definition(char short_name, const char* long_name, const char* arg_name,
                                   const char* description)
    : short_name(short_name), long_name(long_name), arg_name(arg_name), description(description) {}

bool named_definition::matches_letter(char letter) const {
    return short_name != 0 && short_name == letter;
}

bool named_definition::matches_name(const char* name) const {
    return long_name != nullptr && std::strcmp(long_name, name) == 0;
}

const char* named_definition::take_value(processor& p) const {
    const char* value = p.next_argument();
    if (value == nullptr) {
        const char* arg = long_name != nullptr
                              ? long_name
                              : letter_options.text[static_cast<unsigned char>(short_name)];
        throw error{arg, missing_argument_message};
    }
    return value;
}

bool simple_named_definition::execute_short(processor& p, char letter) {
    if (!matches_letter(letter)) return false;
    action(p);
    return true;
}

bool simple_named_definition::execute_attached(processor&, char, const char*) { return false; }

bool simple_named_definition::execute_long(processor& p, const char* name) {
    if (!matches_name(name)) return false;
    action(p);
    return true;
}

bool compound_named_definition::execute_short(processor& p, char letter) {
    if (!matches_letter(letter)) return false;
    action(p, take_value(p));
    return true;
}

bool compound_named_definition::execute_attached(processor& p, char letter, const char* text) {
    if (*text == '\0' || !matches_letter(letter)) return false;
    action(p, text);
    return true;
}

bool compound_named_definition::execute_long(processor& p, const char* name) {
    if (!matches_name(name)) return false;
    action(p, take_value(p));
    return true;
}

bool compound_2arg_named_definition::execute_short(processor& p, char letter) {
    if (!matches_letter(letter)) return false;
    const char* first = take_value(p);
    action(p, first, take_value(p));
    return true;
}

bool compound_2arg_named_definition::execute_attached(processor& p, char letter, const char* text) {
    if (*text == '\0' || !matches_letter(letter)) return false;
    action(p, text, take_value(p));
    return true;
}

bool compound_2arg_named_definition::execute_long(processor& p, const char* name) {
    if (!matches_name(name)) return false;
    const char* first = take_value(p);
    action(p, first, take_value(p));
    return true;
}

}  // namespace tesk
