// The prerequisite record: one text line per prerequisite, the name and its
// fingerprint. Also the output format of the cubehash command.
#pragma once

#include <istream>
#include <ostream>
#include <string>

#include "fingerprint/fingerprint.hpp"

namespace ombu {

// Appends one record line; a type outside 0..3 writes nothing.
void write_record(std::ostream& out, const std::string& name, const fingerprint& print);

// Reads one record into print and name. Fields that the record's form does not
// carry keep what print held. A malformed record leaves the stream failed.
void read_record(std::istream& in, fingerprint& print, std::string& name);

// The 64 lowercase hexadecimal digits of a hash, byte 0 first. Leaves the
// stream writing decimal numbers with a space as fill character.
void write_hash(std::ostream& out, const digest& hash);

}  // namespace ombu
