// The concrete definitions: what each does with the value it was given.
#include <cstdlib>
#include <cstring>

#include "options/tesk.hpp"

namespace tesk {

namespace {

// The words of bool_string_definition, in the order they are tried.
struct bool_word {
    const char* word;
    bool value;
};
constexpr bool_word bool_words[] = {
    {"on", true},  {"off", false}, {"true", true}, {"false", false},
    {"yes", true}, {"no", false},  {"1", true},    {"0", false},
};

// After a strtol/strtoul conversion: nothing converted, or text left over.
void check_whole_number(const char* text, const char* stop) {
    if (stop == text || *stop != '\0') throw error{text, not_a_number_message};
}

}  // namespace

bool_definition::bool_definition(char short_name, const char* long_name, const char* arg_name,
                                 const char* description, bool* value)
    : simple_named_definition(short_name, long_name, arg_name, description), value(value) {}

void bool_definition::action(processor&) { *value = true; }

bool_string_definition::bool_string_definition(char short_name, const char* long_name,
                                               const char* arg_name, const char* description,
                                               bool* value)
    : integral_definition(short_name, long_name, arg_name, description), value(value) {}

void bool_string_definition::action(processor&, const char* text) {
    for (const bool_word& w : bool_words) {
        if (std::strcmp(text, w.word) == 0) {
            *value = w.value;
            is_set = true;
            return;
        }
    }
    throw error{text, not_a_boolean_message};
}

number_definition::number_definition(char short_name, const char* long_name, const char* arg_name,
                                     const char* description, int base)
    : integral_definition(short_name, long_name, arg_name, description), base(base) {}

signed_number_definition::signed_number_definition(char short_name, const char* long_name,
                                                   const char* arg_name, const char* description,
                                                   long* value, int base)
    : number_definition(short_name, long_name, arg_name, description, base), value(value) {}

void signed_number_definition::action(processor&, const char* text) {
    char* stop = nullptr;
    *value = std::strtol(text, &stop, base);
    check_whole_number(text, stop);
    is_set = true;
}

unsigned_number_definition::unsigned_number_definition(char short_name, const char* long_name,
                                                       const char* arg_name,
                                                       const char* description,
                                                       unsigned long* value, int base)
    : number_definition(short_name, long_name, arg_name, description, base), value(value) {}

void unsigned_number_definition::action(processor&, const char* text) {
    char* stop = nullptr;
    *value = std::strtoul(text, &stop, base);
    check_whole_number(text, stop);
    is_set = true;
}

string_definition::string_definition(char short_name, const char* long_name, const char* arg_name,
                                     const char* description, const char** value)
    : compound_named_definition(short_name, long_name, arg_name, description), value(value) {}

void string_definition::action(processor&, const char* text) { *value = text; }

string_list_definition::string_list_definition(char short_name, const char* long_name,
                                               const char* arg_name, const char* description,
                                               std::list<std::string>* values)
    : compound_named_definition(short_name, long_name, arg_name, description), values(values) {}

void string_list_definition::action(processor&, const char* text) { values->emplace_back(text); }

string_pair_definition::string_pair_definition(char short_name, const char* long_name,
                                               const char* arg_name, const char* description,
                                               const char** first, const char** second)
    : compound_2arg_named_definition(short_name, long_name, arg_name, description),
      first(first),
      second(second) {}

void string_pair_definition::action(processor&, const char* first_text, const char* second_text) {
    *first = first_text;
    *second = second_text;
}

string_pair_list_definition::string_pair_list_definition(
    char short_name, const char* long_name, const char* arg_name, const char* description,
    std::list<std::pair<std::string, std::string>>* values)
    : compound_2arg_named_definition(short_name, long_name, arg_name, description),
      values(values) {}

void string_pair_list_definition::action(processor&, const char* first_text,
                                         const char* second_text) {
    values->emplace_back(first_text, second_text);
}

}  // namespace tesk
