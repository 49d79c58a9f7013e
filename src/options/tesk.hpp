// tesk: the option library shared by every command.
//
// A command describes its options as definition objects that point at its
// own variables, groups them into tables, and runs a processor over its
// arguments. Non-options are appended to a vector the caller supplies;
// anything wrong is thrown as tesk::error. The library owns nothing: the
// definitions, tables, processor, destinations and argument strings all
// belong to the caller. Its only output is the usage and help text, written
// to std::cout.
//
// Typical use:
//
//     const char* directory = nullptr;
//     tesk::string_definition dir('C', "directory", "directory",
//                                 "Change to directory before doing anything.", &directory);
//     tesk::definition* entries[] = {&dir};
//     tesk::top_table_definition table(entries, 1, "Main options", "filename(s)");
//     std::vector<const char*> names;
//     tesk::arg_processor<const char**> p(program_name, &table, &names, argv + 1, argv + argc);
//     try { p.process(); } catch (const tesk::error& e) { ... e.arg << ": " << e.message ... }
//     if (p.halted) return 0;  // help or usage was printed
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <utility>
#include <vector>

namespace tesk {

class processor;
class table_definition;

// The exception of the library: the offending argument, value text or option
// name, and one of the fixed messages below. Thrown by value.
struct error {
    const char* arg;
    const char* message;
};

// The fixed messages of error.
inline constexpr const char* unrecognized_options_message = "unrecognized option(s)";
inline constexpr const char* unrecognized_option_message = "unrecognized option";
inline constexpr const char* missing_argument_message = "missing option argument";
inline constexpr const char* not_a_number_message = "not a number";
inline constexpr const char* not_a_boolean_message = "not a boolean";

// Root of every table entry: the three matching operations.
class definition {
public:
    // The letter of a short option was met with nothing of its argument after
    // it. A definition that claims the letter performs itself (taking any
    // value from the following arguments) and returns true.
    virtual bool execute_short(processor& p, char letter) = 0;
    // The letter was met and text is the rest of the same argument after it
    // (possibly empty). Returns true when the text was used as the value.
    virtual bool execute_attached(processor& p, char letter, const char* text) = 0;
    // A long option was met; name is the argument without its two dashes.
    virtual bool execute_long(processor& p, const char* name) = 0;
    virtual ~definition() = default;
};

// An option with a letter and/or a long name. All four texts are borrowed
// and must outlive the definition (in practice string literals).
class named_definition : public definition {
public:
    char short_name;          // 0: no letter
    const char* long_name;    // null: no long name
    const char* arg_name;     // name of the value in usage and help; null for flags
    const char* description;  // one line of help; null: none

    named_definition(char short_name, const char* long_name, const char* arg_name,
                     const char* description);

    bool matches_letter(char letter) const;
    bool matches_name(const char* name) const;
    // Takes the next argument as a value; throws "missing option argument"
    // when there is none (arg: the long name, else "-" and the letter).
    const char* take_value(processor& p) const;
};

// Options that take no value.
class simple_named_definition : public named_definition {
public:
    using named_definition::named_definition;
    bool execute_short(processor& p, char letter) override;
    bool execute_attached(processor& p, char letter, const char* text) override;
    bool execute_long(processor& p, const char* name) override;
    virtual void action(processor& p) = 0;
};

// Options that take one value, attached (-j4) or as the next argument.
class compound_named_definition : public named_definition {
public:
    using named_definition::named_definition;
    bool execute_short(processor& p, char letter) override;
    bool execute_attached(processor& p, char letter, const char* text) override;
    bool execute_long(processor& p, const char* name) override;
    virtual void action(processor& p, const char* value) = 0;
};

// Options that take two values; the first may be attached to the letter.
class compound_2arg_named_definition : public named_definition {
public:
    using named_definition::named_definition;
    bool execute_short(processor& p, char letter) override;
    bool execute_attached(processor& p, char letter, const char* text) override;
    bool execute_long(processor& p, const char* name) override;
    virtual void action(processor& p, const char* first, const char* second) = 0;
};

// A flag: sets *value to true. Nothing sets it back; several definitions may
// share one destination. Its arg_name should be null.
class bool_definition : public simple_named_definition {
public:
    bool* value;
    bool_definition(char short_name, const char* long_name, const char* arg_name,
                    const char* description, bool* value);
    void action(processor& p) override;
};

// A one-value option that remembers whether it was given.
class integral_definition : public compound_named_definition {
public:
    bool is_set = false;
    using compound_named_definition::compound_named_definition;
};

// A boolean word: on/off, true/false, yes/no, 1/0, case-sensitive.
class bool_string_definition : public integral_definition {
public:
    bool* value;
    bool_string_definition(char short_name, const char* long_name, const char* arg_name,
                           const char* description, bool* value);
    void action(processor& p, const char* text) override;
};

// A number in `base` (0: from the prefix, 0x hex, leading 0 octal, else
// decimal). Overflow saturates as the C conversion does.
class number_definition : public integral_definition {
public:
    int base;
    number_definition(char short_name, const char* long_name, const char* arg_name,
                      const char* description, int base);
};

class signed_number_definition : public number_definition {
public:
    long* value;
    signed_number_definition(char short_name, const char* long_name, const char* arg_name,
                             const char* description, long* value, int base);
    void action(processor& p, const char* text) override;
};

class unsigned_number_definition : public number_definition {
public:
    unsigned long* value;
    unsigned_number_definition(char short_name, const char* long_name, const char* arg_name,
                               const char* description, unsigned long* value, int base);
    void action(processor& p, const char* text) override;
};

// One string: *value points into the argument itself; nothing is copied.
class string_definition : public compound_named_definition {
public:
    const char** value;
    string_definition(char short_name, const char* long_name, const char* arg_name,
                      const char* description, const char** value);
    void action(processor& p, const char* text) override;
};

// A repeated string: each occurrence appends an owned copy.
class string_list_definition : public compound_named_definition {
public:
    std::list<std::string>* values;
    string_list_definition(char short_name, const char* long_name, const char* arg_name,
                           const char* description, std::list<std::string>* values);
    void action(processor& p, const char* text) override;
};

// Two strings, both pointing into the arguments.
class string_pair_definition : public compound_2arg_named_definition {
public:
    const char** first;
    const char** second;
    string_pair_definition(char short_name, const char* long_name, const char* arg_name,
                           const char* description, const char** first, const char** second);
    void action(processor& p, const char* first_text, const char* second_text) override;
};

// A repeated pair of strings: each occurrence appends an owned copy.
class string_pair_list_definition : public compound_2arg_named_definition {
public:
    std::list<std::pair<std::string, std::string>>* values;
    string_pair_list_definition(char short_name, const char* long_name, const char* arg_name,
                                const char* description,
                                std::list<std::pair<std::string, std::string>>* values);
    void action(processor& p, const char* first_text, const char* second_text) override;
};

// An ordered group of definitions, searched and printed in order. An entry may
// itself be a table; it is searched in place, but printed after all of the
// table's own entries.
class table_definition : public definition {
public:
    std::uint32_t count;
    definition* const* entries;  // borrowed, never null
    const char* caption;         // heading of this table's part of the help

    table_definition(definition* const* entries, std::uint32_t count, const char* caption);

    // Each asks the entries in order and returns true at the first that does.
    bool execute_short(processor& p, char letter) override;
    bool execute_attached(processor& p, char letter, const char* text) override;
    bool execute_long(processor& p, const char* name) override;

    // Appends the letters of flags (no arg_name) of this table and the nested ones.
    void collect_flag_letters(std::string& letters) const;
    // The bracketed option items of the usage line.
    virtual void print_usage_items() const;
    // The caption and one aligned line per option, then the nested tables'.
    virtual void print_help_listing() const;
};

// The outermost table of a command line: claims -?, --help and --usage
// before its entries are asked.
class top_table_definition : public table_definition {
public:
    const char* arguments_description;  // stands for the non-options in the usage line

    top_table_definition(definition* const* entries, std::uint32_t count, const char* caption,
                         const char* arguments_description);

    bool execute_short(processor& p, char letter) override;
    bool execute_long(processor& p, const char* name) override;

    // Each prints and then sets p.halted.
    void print_usage(processor& p) const;
    void print_help(processor& p) const;
};

// The state of one run over a sequence of arguments.
class processor {
public:
    std::vector<const char*>* file_vector;  // receives the non-options, in order
    const char* name;                       // the command name shown in the usage line
    std::int32_t option_state = 0;          // 0, then '-' at the first option, -1 after "--"
    table_definition* table;                // searched for every option
    bool halted = false;                    // set once usage or help was printed

    processor(const char* name, table_definition* table, std::vector<const char*>* file_vector);
    virtual ~processor() = default;
    // The next argument, or null when the sequence is exhausted.
    virtual const char* next_argument() = 0;

    // Runs over the arguments; throws error at the first fault.
    void process();
};

// A processor over a range of const char* elements; a null element ends the
// sequence early.
template <typename Iterator>
class arg_processor : public processor {
public:
    Iterator current;
    Iterator end;

    arg_processor(const char* name, table_definition* table, std::vector<const char*>* file_vector,
                  Iterator begin, Iterator end)
        : processor(name, table, file_vector), current(begin), end(end) {}

    const char* next_argument() override {
        if (current == end) return nullptr;
        return *current++;
    }
};

}  // namespace tesk
