// Usage line and help listing, generated from the tables that drive processing.
// Only named entries are printed and only tables are descended into; a
// table's nested tables always come after all of its own entries.
#include <algorithm>
#include <iostream>
#include <string>

#include "options/tesk.hpp"

namespace tesk {

namespace {

const named_definition* as_named(const definition* d) {
    return dynamic_cast<const named_definition*>(d);
}

const table_definition* as_table(const definition* d) {
    return dynamic_cast<const table_definition*>(d);
}

// "-j, --jobs number": the text of an option in the help listing.
std::string help_option_text(const named_definition& d) {
    std::string text;
    if (d.short_name != 0) {
        text += '-';
        text += d.short_name;
        if (d.long_name != nullptr) text += ", ";
    }
    if (d.long_name != nullptr) {
        text += "--";
        text += d.long_name;
    }
    if (d.arg_name != nullptr) {
        text += ' ';
        text += d.arg_name;
    }
    return text;
}

}  // namespace

void table_definition::collect_flag_letters(std::string& letters) const {
    for (std::uint32_t i = 0; i < count; ++i) {
        const named_definition* d = as_named(entries[i]);
        if (d != nullptr && d->arg_name == nullptr && d->short_name != 0) {
            letters += d->short_name;
        }
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        if (const table_definition* t = as_table(entries[i])) t->collect_flag_letters(letters);
    }
}

void table_definition::print_usage_items() const {
    for (std::uint32_t i = 0; i < count; ++i) {
        const named_definition* d = as_named(entries[i]);
        if (d == nullptr || (d->arg_name == nullptr && d->long_name == nullptr)) continue;
        std::cout << '[';
        // A flag's letter stands in the letter group, not here.
        if (d->arg_name != nullptr && d->short_name != 0) {
            std::cout << '-' << d->short_name;
            if (d->long_name != nullptr) std::cout << "|--" << d->long_name;
        } else if (d->long_name != nullptr) {
            std::cout << "--" << d->long_name;
        }
        if (d->arg_name != nullptr) std::cout << ' ' << d->arg_name;
        std::cout << "] ";
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        if (const table_definition* t = as_table(entries[i])) t->print_usage_items();
    }
}

void table_definition::print_help_listing() const {
    // Each table aligns its own descriptions; nested tables do not count.
    bool any_named = false;
    std::size_t width = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (const named_definition* d = as_named(entries[i])) {
            any_named = true;
            width = std::max(width, help_option_text(*d).size());
        }
    }
    if (any_named) std::cout << caption << ":\n";
    for (std::uint32_t i = 0; i < count; ++i) {
        const named_definition* d = as_named(entries[i]);
        if (d == nullptr) continue;
        std::string text = help_option_text(*d);
        text.resize(width, ' ');
        std::cout << '\t' << text;
        if (d->description != nullptr) std::cout << ' ' << d->description;
        std::cout << '\n';
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        if (const table_definition* t = as_table(entries[i])) t->print_help_listing();
    }
}

void top_table_definition::print_usage(processor& p) const {
    std::string letters = "?";
    collect_flag_letters(letters);
    std::cout << "Usage: " << p.name << " [-" << letters << "] [--help] [--usage] ";
    print_usage_items();
    std::cout << arguments_description << '\n';
    p.halted = true;
}

void top_table_definition::print_help(processor& p) const {
    print_usage(p);
    std::cout << '\n';
    print_help_listing();
    p.halted = true;
}

}  // namespace tesk
