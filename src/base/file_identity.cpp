#include "base/file_identity.hpp"

#include <sys/stat.h>

namespace ombu {

bool identity_of(int fd, file_identity& id) {
    struct stat status;
    if (fstat(fd, &status) != 0) return false;
    id = {status.st_dev, status.st_ino};
    return true;
}

std::optional<file_identity> identity_of_name(const char* path) {
    struct stat status;
    if (lstat(path, &status) != 0) return std::nullopt;
    return file_identity{status.st_dev, status.st_ino};
}

}  // namespace ombu
