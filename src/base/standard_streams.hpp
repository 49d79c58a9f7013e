// The three standard descriptors at start-up, and standard output whose
// failed writes are noticed.
#pragma once

namespace ombu {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed (read-only
// for 0, write-only for 1 and 2), so that no file this process opens later
// takes one of their numbers. False, with errno, when one stays closed.
bool open_closed_standard_descriptors();

// Makes std::cout hand its text to descriptor 1 in large pieces (line by
// line on a terminal), remembering the first write that failed.
void use_checked_standard_output();

// Writes what std::cout still holds. False, after the ERROR line
// "standard output: <system error text>", when a write to it failed.
bool finish_standard_output(const char* program_name);

}  // namespace ombu
