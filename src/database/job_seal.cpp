#include "database/job_seal.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "base/write_lock.hpp"

namespace ombu {

namespace {

constexpr mode_t write_bits = S_IWUSR | S_IWGRP | S_IWOTH;

}  // namespace

bool parent_job_ended(int pending_fd) {
    struct stat status;
    return fstat(pending_fd, &status) == 0 && job_ended(status);
}

// Only the owner's bit counts: a sealed file has none, a new one has it.
bool job_ended(const struct stat& pending_status) {
    return pending_status.st_nlink == 0 || (pending_status.st_mode & S_IWUSR) == 0;
}

bool open_to_records(int pending_fd) {
    struct stat status;
    if (fstat(pending_fd, &status) != 0) return false;
    if ((status.st_mode & S_IWUSR) != 0) return true;
    return fchmod(pending_fd, (status.st_mode & 07777) | S_IWUSR) == 0;
}

bool seal_pending_file(int pending_fd, const struct timespec* launched_at) {
    if (!take_write_lock(pending_fd)) return false;
    struct stat status;
    bool sealed = fstat(pending_fd, &status) == 0 &&
                  fchmod(pending_fd, status.st_mode & 07777 & ~write_bits) == 0;
    const int error = errno;
    // A recorder that could not restore the time (another user's command)
    // left a later one: the launch's moment is the bound that the records
    // were written for.
    if (sealed && launched_at != nullptr) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, *launched_at};
        futimens(pending_fd, times);
    }
    release_write_lock(pending_fd);
    errno = error;
    return sealed;
}

}  // namespace ombu
