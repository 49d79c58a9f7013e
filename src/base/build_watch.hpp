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

// For the outermost build, when its own jobs have ended or are being
// stopped: tells every nested build now, before the process ends (one byte
// into the pipe; the write end stays open to tell when they have gone).
void end_build_watch();

// For the outermost build after end_build_watch: true once no process that
// inherited the read end is left (nested builds, scripts and whatever they
// started). True at once for a process that is not the outermost build.
bool build_processes_ended();

}  // namespace ombu
