// A file's identity and the times of its last changes, taken from its status:
// two looks that differ tell that something wrote to the file, or replaced it,
// in between.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>

namespace ombu {

struct file_state {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    mode_t mode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
};

// The state of path itself (a symbolic link is not followed).
file_state state_of(const std::string& path);

bool same_state(const file_state& a, const file_state& b);

}  // namespace ombu
