// The option library over arbitrary arguments: the input is split into
// arguments at NUL bytes and run through a top table (the command line) and
// a plain table (environment words), with definitions of every kind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <list>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "options/tesk.hpp"
#include "require.hpp"

namespace {

// Usage and help go nowhere.
class discard_buffer : public std::streambuf {
protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

bool is_fixed_message(const char* message) {
    for (const char* fixed : {tesk::unrecognized_options_message, tesk::unrecognized_option_message,
                              tesk::missing_argument_message, tesk::not_a_number_message,
                              tesk::not_a_boolean_message}) {
        if (std::strcmp(message, fixed) == 0) return true;
    }
    return false;
}

// Every pointer the library hands back points into the arguments or is one
// of the definitions' own names.
bool points_into(const char* text, const std::vector<const char*>& arguments) {
    for (const char* argument : arguments) {
        if (text >= argument && text <= argument + std::strlen(argument)) return true;
    }
    return false;
}

template <typename Iterator>
void run(tesk::table_definition& table, Iterator begin, Iterator end,
         const std::vector<const char*>& arguments) {
    bool flag = false, word = false, extra = false;
    long number = 0;
    unsigned long count = 0;
    const char* text = nullptr;
    const char* letter_only = nullptr;
    const char* first = nullptr;
    const char* second = nullptr;
    std::list<std::string> texts;
    std::list<std::pair<std::string, std::string>> pairs;

    tesk::bool_definition flag_definition('a', "alpha", nullptr, "A flag.", &flag);
    tesk::bool_string_definition word_definition('b', "bool", "word", "A boolean word.", &word);
    tesk::signed_number_definition number_definition('n', "number", "number", "A number.", &number,
                                                     0);
    tesk::unsigned_number_definition count_definition('u', "count", "number", "A count.", &count,
                                                      16);
    tesk::string_definition text_definition('s', "string", "text", "A string.", &text);
    tesk::string_definition letter_only_definition('y', nullptr, "text", nullptr, &letter_only);
    tesk::string_list_definition list_definition('l', "list", "text", "Texts.", &texts);
    tesk::string_pair_definition pair_definition('p', "pair", "two", "A pair.", &first, &second);
    tesk::string_pair_list_definition pairs_definition('q', "pairs", "two", "Pairs.", &pairs);
    tesk::bool_definition extra_definition('x', "extra", nullptr, nullptr, &extra);
    tesk::definition* nested_entries[] = {&extra_definition, &letter_only_definition};
    tesk::table_definition nested(nested_entries, 2, "Nested options");
    tesk::definition* entries[] = {&flag_definition,  &word_definition, &number_definition,
                                   &count_definition, &nested,          &text_definition,
                                   &list_definition,  &pair_definition, &pairs_definition};
    table.entries = entries;
    table.count = sizeof entries / sizeof entries[0];

    std::vector<const char*> non_options;
    tesk::arg_processor<Iterator> processor("fuzz", &table, &non_options, begin, end);
    try {
        processor.process();
    } catch (const tesk::error& e) {
        fuzz::require(e.arg != nullptr && is_fixed_message(e.message));
        fuzz::require(points_into(e.arg, arguments) || std::strcmp(e.arg, "pair") == 0 ||
                      std::strcmp(e.arg, "pairs") == 0 || std::strcmp(e.arg, "list") == 0 ||
                      std::strcmp(e.arg, "string") == 0 || std::strcmp(e.arg, "number") == 0 ||
                      std::strcmp(e.arg, "count") == 0 || std::strcmp(e.arg, "bool") == 0 ||
                      std::strcmp(e.arg, "-y") == 0);
    }
    for (const char* non_option : non_options) fuzz::require(points_into(non_option, arguments));
    for (const char* value : {text, letter_only, first, second}) {
        fuzz::require(value == nullptr || points_into(value, arguments));
    }
    fuzz::require(non_options.size() <= arguments.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static discard_buffer discard;
    std::cout.rdbuf(&discard);

    // Arguments end at NUL bytes; the last one at the end of the input.
    std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> words;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = input.find('\0', start);
        words.push_back(input.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    std::vector<const char*> arguments;
    for (const auto& word : words) arguments.push_back(word.c_str());

    tesk::top_table_definition top(nullptr, 0, "Main options", "filename(s)");
    const char** first = arguments.data();
    run<const char**>(top, first, first + arguments.size(), arguments);
    tesk::table_definition plain(nullptr, 0, "Environment options");
    run<std::vector<const char*>::const_iterator>(plain, arguments.cbegin(), arguments.cend(),
                                                  arguments);
    return 0;
}
