// Whether the outermost build of a tree of builds still runs. The outermost
// build makes a pipe and keeps its write end to itself; the read end is
// handed down to every script (its number, device and inode in OMBUALIVE).
// However the outermost build ends, killed included, the read end then
// reports end of file to every nested build, which stops as if interrupted:
// no script starts any more anywhere in the tree.
#pragma once

namespace ombu {

inline constexpr const char* build_watch_variable = "OMBUALIVE";

// Joins the watch named in the environment when its pipe is open and its
// outermost build still runs; otherwise this process is the outermost build
// and starts a watch of its own (a build left behind by a build that has
// ended is a build of its own). False when no pipe could be made: the build
// then runs unwatched.
bool watch_build();

// The read end to watch in waits; -1 for the outermost build.
int build_watch_fd();

// True once the outermost build has ended; the first time, notes SIGTERM as
// the signal that interrupted this process.
bool build_gone();

// For the outermost build, when it stops its scripts: tells every nested
// build now, before the process ends.
void end_build_watch();

}  // namespace ombu
