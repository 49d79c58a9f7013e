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
    // A hash lent by a previous record answers only a caller that lends the
    // same time again (it compares times alone); any other lookup takes the
    // fingerprint afresh, once, and from then on every caller gets that one.
    // The reference stays valid until the name is forgotten; a lent entry's
    // contents are replaced in place when it is taken afresh.
    const fingerprint& lookup(const std::string& name, const fingerprint* previous = nullptr);
    void forget(const std::string& name);
    // Forgets every name: after anything this process waited for (a script, a
    // build holding a lock) may have changed files, a fingerprint taken before
    // would answer for a moment earlier than the question.
    void clear() { entries_.clear(); }
    // True when name's entry holds a fingerprint taken from the file itself,
    // which every later lookup returns.
    bool holds_taken(const std::string& name) const {
        const auto found = entries_.find(name);
        return found != entries_.end() && !found->second.lent;
    }

private:
    struct entry {
        fingerprint print;
        bool lent = false;  // the hash came from a previous record, not from the file
    };
    // Hashed: a large build looks names up thousands of times, and an ordered
    // map compared each name with a dozen others. References to elements stay
    // valid when the table grows.
    std::unordered_map<std::string, entry> entries_;
};

// The one cache of this process.
fingerprint_cache& process_fingerprints();

}  // namespace ombu
