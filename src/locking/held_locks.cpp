#include "locking/held_locks.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "base/paths.hpp"
#include "base/process.hpp"

namespace ombu {

namespace {

std::vector<held_lock> ancestor_locks;
std::vector<held_lock> judged_locks;

bool contains(const std::vector<held_lock>& locks, const file_identity& id) {
    return std::any_of(locks.begin(), locks.end(),
                       [&id](const held_lock& lock) { return lock.id == id; });
}

// " device:inode:path", with "%", white space and control characters of the
// path written as "%XX", so that the entry stays one line of words.
void write_lock(std::ostream& out, const held_lock& lock) {
    static const char digits[] = "0123456789ABCDEF";
    out << ' ' << static_cast<unsigned long long>(lock.id.device) << ':'
        << static_cast<unsigned long long>(lock.id.inode) << ':';
    for (const char c : lock.path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte == '%' || byte == 0x7f) {
            out << '%' << digits[byte >> 4] << digits[byte & 15];
        } else {
            out << c;
        }
    }
}

std::string unescape(const std::string& text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            plain += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

// True when the lock file at lock.path is still the one named and some process
// holds a lock on it. A lock that cannot be tested counts as held.
bool locked_by_anyone(const held_lock& lock) {
    const int fd = open(lock.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno != ENOENT;
    file_identity present;
    bool held =
        identity_of(fd, present) && present == lock.id && try_lock_whole_file(fd, true) != 1;
    close(fd);  // lets go of the lock taken by the test, if any
    return held;
}

}  // namespace

void load_ancestor_locks() {
    ancestor_locks.clear();
    const char* text = std::getenv(held_locks_variable);
    if (text == nullptr) return;
    // Words "device:inode:path"; anything malformed is skipped.
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        std::istringstream fields(word);
        unsigned long long device = 0, inode = 0;
        char colon1 = 0, colon2 = 0;
        std::string path;
        if (fields >> device >> colon1 >> inode >> colon2 && colon1 == ':' && colon2 == ':' &&
            std::getline(fields, path) && !path.empty()) {
            ancestor_locks.push_back(
                {{static_cast<dev_t>(device), static_cast<ino_t>(inode)}, unescape(path)});
        }
    }
}

bool held_upstream(const file_identity& id) {
    if (contains(judged_locks, id)) return true;
    // An ancestor's lock counts only while somebody still holds it: a process
    // that a script left running in the background may outlive the build.
    for (const auto& lock : ancestor_locks) {
        if (lock.id == id) return locked_by_anyone(lock);
    }
    return false;
}

std::vector<held_lock> upstream_locks() {
    std::vector<held_lock> locks = ancestor_locks;
    locks.insert(locks.end(), judged_locks.begin(), judged_locks.end());
    return locks;
}

void push_judged_lock(const file_identity& id, const std::string& lock_name) {
    judged_locks.push_back({id, absolute_path(lock_name)});
}

void pop_judged_lock() {
    if (!judged_locks.empty()) judged_locks.pop_back();
}

std::string held_locks_entry(const file_identity& job_lock, const std::string& job_lock_name) {
    std::ostringstream entry;
    entry << held_locks_variable << '=';
    for (const auto& lock : ancestor_locks) write_lock(entry, lock);
    for (const auto& lock : judged_locks) write_lock(entry, lock);
    write_lock(entry, {job_lock, absolute_path(job_lock_name)});
    return entry.str();
}

void clear_held_locks() {
    ancestor_locks.clear();
    judged_locks.clear();
}

}  // namespace ombu
