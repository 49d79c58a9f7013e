// Matching through tables: entries are asked in order, nested tables in place.
#include <cstring>

#include "options/tesk.hpp"

namespace tesk {

table_definition::table_definition(definition* const* entries, std::uint32_t count,
                                   const char* caption)
    : count(count), entries(entries), caption(caption) {}

bool table_definition::execute_short(processor& p, char letter) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (entries[i]->execute_short(p, letter)) return true;
    }
    return false;
}

bool table_definition::execute_attached(processor& p, char letter, const char* text) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (entries[i]->execute_attached(p, letter, text)) return true;
    }
    return false;
}

bool table_definition::execute_long(processor& p, const char* name) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (entries[i]->execute_long(p, name)) return true;
    }
    return false;
}

top_table_definition::top_table_definition(definition* const* entries, std::uint32_t count,
                                           const char* caption, const char* arguments_description)
    : table_definition(entries, count, caption), arguments_description(arguments_description) {}

// -?, --help and --usage are claimed before the entries are asked, so no
// entry can take them over. The attached form is not overridden: '?' never
// takes a value.
bool top_table_definition::execute_short(processor& p, char letter) {
    if (letter == '?') {
        print_help(p);
        return true;
    }
    return table_definition::execute_short(p, letter);
}

bool top_table_definition::execute_long(processor& p, const char* name) {
    if (std::strcmp(name, "help") == 0) {
        print_help(p);
        return true;
    }
    if (std::strcmp(name, "usage") == 0) {
        print_usage(p);
        return true;
    }
    return table_definition::execute_long(p, name);
}

}  // namespace tesk
