#include "database/held_locks.hpp"

#include "main/diagnostics.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace ombu {

namespace {

std::vector<lock_identity> ancestor_locks;
std::vector<lock_identity> judged_locks;

bool contains(const std::vector<lock_identity>& ids, const lock_identity& id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

void write_identity(std::ostream& out, const lock_identity& id) {
    out << ' ' << static_cast<unsigned long long>(id.device) << ':'
        << static_cast<unsigned long long>(id.inode);
}

}  // namespace

bool identity_of(int fd, lock_identity& id) {
    struct stat status;
    if (fstat(fd, &status) != 0) return false;
    id.device = status.st_dev;
    id.inode = status.st_ino;
    return true;
}

void load_ancestor_locks() {
    ancestor_locks.clear();
    const char* text = std::getenv(held_locks_variable);
    if (text == nullptr) return;
    // Words "device:inode"; anything malformed is skipped.
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        std::istringstream item(word);
        unsigned long long device = 0, inode = 0;
        char colon = 0;
        if (item >> device >> colon >> inode && colon == ':' && item.peek() == EOF) {
            ancestor_locks.push_back({static_cast<dev_t>(device), static_cast<ino_t>(inode)});
        }
    }
}

bool held_upstream(const lock_identity& id) {
    return contains(ancestor_locks, id) || contains(judged_locks, id);
}

void push_judged_lock(const lock_identity& id) { judged_locks.push_back(id); }

void pop_judged_lock() {
    if (!judged_locks.empty()) judged_locks.pop_back();
}

std::string held_locks_entry(const lock_identity& job_lock) {
    std::ostringstream entry;
    entry << held_locks_variable << '=';
    for (const auto& id : ancestor_locks) write_identity(entry, id);
    for (const auto& id : judged_locks) write_identity(entry, id);
    write_identity(entry, job_lock);
    return entry.str();
}

void report_cycle(const char* program_name, const std::string& target) {
    diagnostic_prefix(program_name, "ERROR") << target << ": Dependency cycle detected.\n";
}

void clear_held_locks() {
    ancestor_locks.clear();
    judged_locks.clear();
}

}  // namespace ombu
