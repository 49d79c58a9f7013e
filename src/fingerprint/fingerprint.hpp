// The fingerprint of a file name (kind, modification time, content digest)
// and the process-wide cache that takes each one at most once.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <unordered_map>

#include "fingerprint/cubehash.hpp"

namespace ombu {

enum fingerprint_type : std::int32_t {
    absent = 0,
    special = 1,
    directory = 2,
    regular_file = 3,
};

struct fingerprint {
    std::int32_t type = absent;
    std::int64_t timestamp = -1;  // whole seconds; -1 when absent
    digest hash{};                // zero unless a regular file
};

// lstat-based fingerprint. When previous is given and its timestamp equals the
// file's, its hash is reused and the file is not read.
fingerprint make_fingerprint(const std::string& name, const fingerprint* previous = nullptr);

// make_fingerprint from the lstat status of name that the caller has just taken.
fingerprint fingerprint_of_status(const std::string& name, const struct stat& status,
                                  const fingerprint* previous = nullptr);

class fingerprint_cache {
public:
    // The cached fingerprint of name; made (with previous) on the first lookup.
    // The reference stays valid until the name is forgotten.
    const fingerprint& lookup(const std::string& name, const fingerprint* previous = nullptr);
    void forget(const std::string& name);
    bool contains(const std::string& name) const { return entries_.count(name) != 0; }

private:
    // Hashed: a large build looks names up thousands of times, and an ordered
    // map compared each name with a dozen others. References to elements stay
    // valid when the table grows.
    std::unordered_map<std::string, fingerprint> entries_;
};

// The one cache of this process.
fingerprint_cache& process_fingerprints();

}  // namespace ombu
