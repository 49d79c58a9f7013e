// The prerequisite record: one text line per prerequisite, the name and its
// fingerprint. Also the output format of the cubehash command.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "fingerprint/fingerprint.hpp"

namespace ombu {

// Appends one record line; a type outside 0..3 writes nothing.
void write_record(std::ostream& out, const std::string& name, const fingerprint& print);

// Reads one record into print and name. Fields that the record's form does not
// carry keep what print held. A malformed record leaves the stream failed.
void read_record(std::istream& in, fingerprint& print, std::string& name);

// One record of a prerequisites file as read.
struct prerequisite_record {
    fingerprint print;
    std::string name;
};

// The one reader of a prerequisites file: every record up to the end of in,
// each read into a fresh fingerprint so that nothing of one record leaks
// into the next. False when a record is malformed (the records before it
// stay in records) or the stream fails.
bool read_records(std::istream& in, std::vector<prerequisite_record>& records);

// The 64 lowercase hexadecimal digits of a hash, byte 0 first. Leaves the
// stream writing decimal numbers with a space as fill character.
void write_hash(std::ostream& out, const digest& hash);

}  // namespace ombu
