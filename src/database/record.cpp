#include "database/record.hpp"

#include <cstdint>
#include <ios>
#include <utility>

namespace ombu {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// Lowercase hexadecimal without prefix, padding or leading zeros. A negative
// time (before 1970) is written as "-" and its magnitude, which the reader's
// signed hexadecimal input takes back, INT64_MIN included.
void append_time(std::string& line, std::int64_t time) {
    auto magnitude = static_cast<std::uint64_t>(time);
    if (time < 0) {
        line.push_back('-');
        magnitude = 0 - magnitude;
    }
    char digits[16];
    int count = 0;
    do {
        digits[count++] = hex_digits[magnitude & 0xf];
        magnitude >>= 4;
    } while (magnitude != 0);
    while (count > 0) line.push_back(digits[--count]);
}

void append_hash(std::string& line, const digest& hash) {
    for (std::uint8_t byte : hash) {
        line.push_back(hex_digits[byte >> 4]);
        line.push_back(hex_digits[byte & 0xf]);
    }
}

int digit_value(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Space, tab, LF, vertical tab, form feed, carriage return.
bool is_white(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Skips white space and returns the first other character, not extracted, or
// EOF. The stream's own state is left alone: reaching the end of the buffer
// here does not set eofbit.
int skip_white(std::streambuf& buf) {
    int c = buf.sgetc();
    while (c != EOF && is_white(c)) c = buf.snextc();
    return c;
}

// 32 pairs of characters taken as they are; a non-hexadecimal character
// gives a wrong byte, not an error. False when the stream ends first.
bool read_hash(std::streambuf& buf, digest& hash) {
    for (auto& byte : hash) {
        const int high = buf.sbumpc();
        if (high == EOF) return false;
        const int low = buf.sbumpc();
        if (low == EOF) return false;
        byte = static_cast<std::uint8_t>(16 * digit_value(high) + digit_value(low));
    }
    return true;
}

// Signed hexadecimal, either case; missing or out of range fails the stream.
void read_time(std::istream& in, std::int64_t& time) {
    const auto flags = in.flags();
    in.setf(std::ios::hex, std::ios::basefield);
    in.setf(std::ios::skipws);
    in >> time;
    in.flags(flags);
}

// The rest of the line after leading white space; the LF is consumed and not
// stored. A line that ends at the end of the stream keeps the stream good, so
// the caller's next peek sees EOF without failing.
void read_name(std::istream& in, std::string& name) {
    name.clear();
    if (in.fail()) return;
    std::streambuf& buf = *in.rdbuf();
    int c = skip_white(buf);
    while (c != EOF && c != '\n') {
        name.push_back(static_cast<char>(c));
        c = buf.snextc();
    }
    if (c == '\n') buf.sbumpc();
}

}  // namespace

void write_record(std::ostream& out, const std::string& name, const fingerprint& print) {
    std::string line;
    line.reserve(64 + 2 * 18 + name.size());
    switch (print.type) {
        case absent:
            line.push_back('a');
            break;
        case special:
        case directory:
            line.push_back(print.type == special ? 's' : 'd');
            append_time(line, print.timestamp);
            line.push_back(' ');
            break;
        case regular_file:
            line.push_back('f');
            append_hash(line, print.hash);
            line.push_back(' ');
            append_time(line, print.timestamp);
            line.push_back(' ');
            break;
        default:
            return;
    }
    line += name;
    line.push_back('\n');
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
}

void read_record(std::istream& in, fingerprint& print, std::string& name) {
    const std::istream::sentry ready(in, true);
    const int tag = ready ? in.rdbuf()->sbumpc() : EOF;
    if (tag == EOF || is_white(tag) || tag == '\b') {
        // Nothing to read, or a line the writer never produces: reading of
        // the file stops here.
        print.type = absent;
        name.clear();
        in.setstate(tag == EOF ? std::ios::eofbit | std::ios::failbit : std::ios::failbit);
        return;
    }
    switch (tag) {
        case 'f': {
            print.type = regular_file;
            std::streambuf& buf = *in.rdbuf();
            skip_white(buf);
            if (!read_hash(buf, print.hash)) {
                in.setstate(std::ios::eofbit | std::ios::failbit);
                break;
            }
            read_time(in, print.timestamp);
            break;
        }
        case 'd':
            print.type = directory;
            read_time(in, print.timestamp);
            break;
        case 's':
            print.type = special;
            read_time(in, print.timestamp);
            break;
        default:
            print.type = absent;
            break;
    }
    read_name(in, name);
}

bool read_records(std::istream& in, std::vector<prerequisite_record>& records) {
    while (in.good() && in.peek() != EOF) {
        prerequisite_record record;
        read_record(in, record.print, record.name);
        if (in.fail()) return false;
        records.push_back(std::move(record));
    }
    return !in.bad();
}

void write_hash(std::ostream& out, const digest& hash) {
    std::string text;
    text.reserve(64);
    append_hash(text, hash);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.setf(std::ios::dec, std::ios::basefield);
    out.fill(' ');
}

}  // namespace ombu
