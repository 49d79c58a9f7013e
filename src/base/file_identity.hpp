// Which file a descriptor or a name stands for: its device and inode.
#pragma once

#include <sys/types.h>

#include <optional>

namespace ombu {

struct file_identity {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const file_identity&, const file_identity&) = default;
};

// The identity of the file open on fd; false when fstat fails.
bool identity_of(int fd, file_identity& id);

// The identity of the file that path names (a last symbolic link itself, not
// what it points to); none when nothing is there.
std::optional<file_identity> identity_of_name(const char* path);

}  // namespace ombu
