#include "base/write_lock.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "base/retry_on_interrupt.hpp"

namespace ombu {

namespace {

int set_lock(int fd, short type, int command) {
    struct flock whole {};
    whole.l_type = type;
    whole.l_whence = SEEK_SET;
    whole.l_start = 0;
    whole.l_len = 0;  // to the end, however far the file grows
    return fcntl(fd, command, &whole);
}

}  // namespace

// Holders keep it for a few system calls only, so the wait goes on after an
// interrupting signal as well.
bool take_write_lock(int fd) {
    return retry_on_interrupt([&] { return set_lock(fd, F_WRLCK, F_SETLKW); }) == 0;
}

void release_write_lock(int fd) { set_lock(fd, F_UNLCK, F_SETLK); }

}  // namespace ombu
