#include "database/layout.hpp"

#include <sys/stat.h>
#include <unistd.h>

namespace ombu {

namespace {

// The existence test of the database: follows symbolic links, and any failure
// counts as "does not exist".
bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

constexpr const char* source_test_suffixes[] = {prerequisites_suffix, prerequisites_ne_suffix,
                                                pending_suffix, pending_ne_suffix};

}  // namespace

std::string database_path(const std::string& target, const char* suffix) {
    return database_prefix + target + suffix;
}

// Each test is a fresh look at the file system, in this order, every time:
// a name that is a source now may get a pending file from another build at any
// moment, so no answer is kept for later.
bool is_source_file(const std::string& name) { return exists(name) && !has_database_files(name); }

bool has_database_files(const std::string& name) {
    for (const char* suffix : source_test_suffixes) {
        if (exists(database_path(name, suffix))) return true;
    }
    return false;
}

bool committed_since(const std::string& prerequisites_name,
                     const std::optional<file_identity>& judged) {
    const std::optional<file_identity> now = identity_of_name(prerequisites_name.c_str());
    return now && now != judged;
}

void forget_target_without_script(const std::string& target, const std::string& pending_name) {
    if (!exists(target)) unlink(pending_name.c_str());
}

}  // namespace ombu
