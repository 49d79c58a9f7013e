#include "database/wait_notes.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "database/held_locks.hpp"

namespace ombu {

namespace {

std::string notes_directory(const std::string& lock_path) { return lock_path + ".waits"; }

bool alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

wait_notes::wait_notes(const std::string& wanted) {
    // Appended to the directory, not built as "/" + pid: g++ 12 at -O3 takes
    // the latter for an overlapping copy (-Wrestrict).
    const std::string pid = std::to_string(getpid());
    for (const auto& lock : upstream_locks()) {
        const std::string directory = notes_directory(lock.path);
        mkdir(directory.c_str(), 0777);
        const std::string note = directory + '/' + pid;
        std::ofstream(note, std::ios::trunc) << wanted;
        directories_.push_back(directory);
        files_.push_back(note);
    }
}

wait_notes::~wait_notes() {
    for (const auto& file : files_) unlink(file.c_str());
    for (const auto& directory : directories_) rmdir(directory.c_str());  // when empty
}

std::vector<std::string> waited_for_under(const std::string& lock_path) {
    std::vector<std::string> wanted;
    const std::string directory = notes_directory(lock_path);
    DIR* notes = opendir(directory.c_str());
    if (notes == nullptr) return wanted;
    while (const dirent* entry = readdir(notes)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == getpid()) continue;
        const std::string note = directory + "/" + entry->d_name;
        if (!alive(static_cast<pid_t>(pid))) {
            unlink(note.c_str());
            continue;
        }
        std::string path;
        std::getline(std::ifstream(note), path);
        if (!path.empty()) wanted.push_back(path);
    }
    closedir(notes);
    return wanted;
}

}  // namespace ombu
