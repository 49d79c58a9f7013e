// POSIX record locks over a whole open file. Unlike the locks of the lock
// files (flock), they belong to the process, not to the open file description:
// the commands of one script share their pending file's description, and they
// still exclude one another and the build that ran the script.
#pragma once

namespace ombu {

// Waits for the exclusive lock on the whole of fd (which must be open for
// writing), waiting again when a signal interrupts the wait. False with errno
// on failure.
bool take_write_lock(int fd);

// Lets go of it; the process's lock also goes when it closes any descriptor
// of the file.
void release_write_lock(int fd);

}  // namespace ombu
