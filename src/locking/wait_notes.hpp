// Notes through which processes that wait for a lock while running under
// upstream locks make their waits visible to one another: beside each held
// lock file, a directory in which each such process leaves a file named by its
// process id, holding the path of the lock it waits for. A note counts only
// while its writer holds it locked, that is, while the writer still waits: a
// note left by a process that was killed, or whose id a later process reuses,
// counts for nothing and is removed by the first reader that finds it.
#pragma once

#include <string>
#include <vector>

namespace ombu {

// Leaves a note naming `wanted` beside every lock held upstream of this
// process, for as long as the object lives.
class wait_notes {
public:
    explicit wait_notes(const std::string& wanted);
    ~wait_notes();
    wait_notes(const wait_notes&) = delete;
    wait_notes& operator=(const wait_notes&) = delete;

private:
    struct note {
        std::string directory;
        std::string file;
        int fd;  // holds the note's lock
    };
    std::vector<note> notes_;
};

// The locks waited for by the other processes that run under lock_path.
std::vector<std::string> waited_for_under(const std::string& lock_path);

}  // namespace ombu
