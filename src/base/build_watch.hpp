// Whether the outermost build of a tree of builds still runs, and which
// processes are its members. The outermost build makes a pipe and keeps its
// write end to itself; the read end is handed down to every script (its
// number, device and inode in OMBUALIVE). However the outermost build ends,
// killed included, the read end then reports end of file to every nested
// build, which stops as if interrupted: no script starts any more anywhere in
// the tree.
//
// A nested build that joins the watch is a member of the build: it holds a
// shared lock on a description of the pipe of its own (close-on-exec, so its
// scripts and whatever they leave running do not hold it). The outermost
// build can so tell when every member has ended, whatever other processes
// merely inherited the read end.
#pragma once

namespace ombu {

inline constexpr const char* build_watch_variable = "OMBUALIVE";

// The watch named in the environment, as a process finds it at start-up.
enum class inherited_watch {
    none,     // none named, or the descriptor is not that pipe any more
    running,  // its outermost build runs
    ended,    // its outermost build has ended, or stopped
};
inherited_watch find_inherited_watch();

// Joins the running watch found in the environment as a member.
void join_watch();

// Makes this process an outermost build with a watch of its own. False when
// no pipe could be made: the build then runs unwatched.
bool start_watch();

// The read end to watch in waits; -1 for the outermost build.
int build_watch_fd();

// The member's own description of the watch pipe (holding its membership);
// -1 for the outermost build, or a member that could not lock one.
int build_member_fd();

// True once the outermost build has ended; the first time, notes SIGTERM as
// the signal that interrupted this process.
bool build_gone();

// For the outermost build, when its own jobs have ended or are being
// stopped: tells every nested build now, before the process ends (one byte
// into the pipe).
void end_build_watch();

// For the outermost build: true once no member of the build is left (nested
// builds, and the processes they leave to take back slots). True at once for
// a process that is not the outermost build.
bool build_members_ended();

}  // namespace ombu
