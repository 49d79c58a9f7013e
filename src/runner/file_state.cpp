#include "runner/file_state.hpp"

#include <sys/stat.h>

namespace ombu {

namespace {

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

file_state state_of(const std::string& path) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return {};
    return {true,           status.st_dev,  status.st_ino, status.st_mode,
            status.st_size, status.st_mtim, status.st_ctim};
}

bool same_state(const file_state& a, const file_state& b) {
    if (!a.exists || !b.exists) return a.exists == b.exists;
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           same_time(a.modified, b.modified) && same_time(a.changed, b.changed);
}

}  // namespace ombu
