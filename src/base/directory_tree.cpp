#include "base/directory_tree.hpp"

#include <ftw.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "base/paths.hpp"

namespace ombu {

namespace {

// The error of the removal that ended a walk; nftw may touch errno while it
// unwinds its open directories.
int walk_error = 0;

int remove_entry(const char* path, const struct stat*, int kind, struct FTW*) {
    switch (kind) {
        case FTW_F:
        case FTW_D:
        case FTW_DNR:
        case FTW_DP:
        case FTW_SL:
            if (std::remove(path) == 0) return 0;
            walk_error = errno;
            return -1;
        default:  // the walk could not read the entry's status
            walk_error = EINVAL;
            return -1;
    }
}

}  // namespace

void make_directories(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash != std::string::npos) make_directories(path.substr(0, slash));
    // An existing directory, an empty path or any other failure passes silently:
    // a real failure shows when a file in the directory cannot be opened.
    mkdir(path.c_str(), 0777);
}

bool is_directory(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

int remove_tree(const std::string& path) {
    if (is_directory_reference(path)) {
        errno = EINVAL;
        return -1;
    }
    if (!is_directory(path)) return std::remove(path.c_str());
    walk_error = 0;
    const int walked = nftw(path.c_str(), remove_entry, 64, FTW_PHYS | FTW_DEPTH);
    if (walked != 0 && walk_error != 0) errno = walk_error;
    return walked;
}

}  // namespace ombu
