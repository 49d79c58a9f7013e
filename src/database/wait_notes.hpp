// Notes through which processes that wait for a lock while running under
// upstream locks make their waits visible to one another: beside each held
// lock file, a directory in which each such process leaves a file named by its
// process id, holding the path of the lock it waits for.
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
    std::vector<std::string> directories_;
    std::vector<std::string> files_;
};

// The locks waited for by the other processes that run under lock_path;
// notes of processes that have ended are removed.
std::vector<std::string> waited_for_under(const std::string& lock_path);

}  // namespace ombu
