// The processing loop: sorting arguments into options and non-options.
#include "options/tesk.hpp"

namespace tesk {

namespace {

// A bundle of letters such as -kj4. For each letter the attached form is tried
// over the whole table first; when it takes the rest of the argument as its
// value, the bundle is done.
void process_bundle(processor& p, const char* arg) {
    for (const char* c = arg + 1; *c != '\0'; ++c) {
        if (p.table->execute_attached(p, *c, c + 1)) return;
        if (!p.table->execute_short(p, *c)) throw error{arg, unrecognized_options_message};
    }
}

}  // namespace

processor::processor(const char* name, table_definition* table,
                     std::vector<const char*>* file_vector)
    : file_vector(file_vector), name(name), table(table) {}

void processor::process() {
    while (const char* arg = next_argument()) {
        // Looked at only between arguments, never between letters of a bundle.
        if (halted) return;
        if (option_state == 0) {
            if (arg[0] != '-') {
                file_vector->push_back(arg);
                continue;
            }
            option_state = '-';
        }
        if (option_state == -1 || arg[0] != option_state) {
            file_vector->push_back(arg);
            continue;
        }
        if (arg[1] != '-') {
            process_bundle(*this, arg);  // a lone "-" has no letters and vanishes
        } else if (arg[2] != '\0') {
            if (!table->execute_long(*this, arg + 2)) {
                throw error{arg, unrecognized_option_message};
            }
        } else {
            option_state = -1;  // "--": everything after it is a non-option
        }
    }
}

}  // namespace tesk
