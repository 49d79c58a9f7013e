#include "database/held_locks.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "frontend/process.hpp"
#include "main/diagnostics.hpp"

namespace ombu {

namespace {

struct held_lock {
    lock_identity id;
    std::string path;  // absolute, so that every process of the build finds it
};

std::vector<held_lock> ancestor_locks;
std::vector<held_lock> judged_locks;

bool contains(const std::vector<held_lock>& locks, const lock_identity& id) {
    return std::any_of(locks.begin(), locks.end(),
                       [&id](const held_lock& lock) { return lock.id == id; });
}

std::string absolute(const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    std::string directory(256, '\0');
    while (getcwd(directory.data(), directory.size()) == nullptr) {
        if (errno != ERANGE) return name;
        directory.resize(directory.size() * 2);
    }
    directory.resize(directory.find('\0'));
    return directory + "/" + name;
}

// " device:inode:path", with "%", white space and control characters of the
// path written as "%XX", so that the entry stays one line of words.
void write_lock(std::ostream& out, const held_lock& lock) {
    static const char digits[] = "0123456789ABCDEF";
    out << ' ' << static_cast<unsigned long long>(lock.id.device) << ':'
        << static_cast<unsigned long long>(lock.id.inode) << ':';
    for (const char c : lock.path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= ' ' || byte == '%' || byte == 0x7f) {
            out << '%' << digits[byte >> 4] << digits[byte & 15];
        } else {
            out << c;
        }
    }
}

std::string unescape(const std::string& text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            plain += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

// Beside each held lock file, a directory in which every process that waits
// for a lock while running under that lock leaves a note: a file named by its
// process id, holding the path of the lock it waits for.
std::string notes_directory(const std::string& lock_path) { return lock_path + ".waits"; }

class wait_notes {
public:
    explicit wait_notes(const std::string& wanted) {
        const std::string name = "/" + std::to_string(getpid());
        for (const auto* locks : {&ancestor_locks, &judged_locks}) {
            for (const auto& lock : *locks) {
                const std::string directory = notes_directory(lock.path);
                mkdir(directory.c_str(), 0777);
                std::ofstream(directory + name, std::ios::trunc) << wanted;
                directories_.push_back(directory);
                files_.push_back(directory + name);
            }
        }
    }
    ~wait_notes() {
        for (const auto& file : files_) unlink(file.c_str());
        for (const auto& directory : directories_) rmdir(directory.c_str());  // when empty
    }
    wait_notes(const wait_notes&) = delete;
    wait_notes& operator=(const wait_notes&) = delete;

private:
    std::vector<std::string> directories_;
    std::vector<std::string> files_;
};

bool alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

// The locks waited for by the processes that run under lock_path; notes of
// processes that have ended are removed.
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

// True when the holders of wanted wait, directly or through the holders of
// what they wait for, for a lock held upstream of this process.
bool waits_lead_back(const std::string& wanted) {
    std::vector<std::string> frontier{wanted};
    std::vector<lock_identity> visited;
    while (!frontier.empty()) {
        const std::string lock = frontier.back();
        frontier.pop_back();
        for (const auto& next : waited_for_under(lock)) {
            struct stat status;
            if (stat(next.c_str(), &status) != 0) continue;
            const lock_identity id{status.st_dev, status.st_ino};
            if (held_upstream(id)) return true;
            if (std::find(visited.begin(), visited.end(), id) != visited.end()) continue;
            visited.push_back(id);
            frontier.push_back(next);
        }
    }
    return false;
}

}  // namespace

bool identity_of(int fd, lock_identity& id) {
    struct stat status;
    if (fstat(fd, &status) != 0) return false;
    id.device = status.st_dev;
    id.inode = status.st_ino;
    return true;
}

void load_ancestor_locks() {
    ancestor_locks.clear();
    const char* text = std::getenv(held_locks_variable);
    if (text == nullptr) return;
    // Words "device:inode:path"; anything malformed is skipped.
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        std::istringstream fields(word);
        unsigned long long device = 0, inode = 0;
        char colon1 = 0, colon2 = 0;
        std::string path;
        if (fields >> device >> colon1 >> inode >> colon2 && colon1 == ':' && colon2 == ':' &&
            std::getline(fields, path) && !path.empty()) {
            ancestor_locks.push_back(
                {{static_cast<dev_t>(device), static_cast<ino_t>(inode)}, unescape(path)});
        }
    }
}

bool held_upstream(const lock_identity& id) {
    return contains(ancestor_locks, id) || contains(judged_locks, id);
}

void push_judged_lock(const lock_identity& id, const std::string& lock_name) {
    judged_locks.push_back({id, absolute(lock_name)});
}

void pop_judged_lock() {
    if (!judged_locks.empty()) judged_locks.pop_back();
}

std::string held_locks_entry(const lock_identity& job_lock, const std::string& job_lock_name) {
    std::ostringstream entry;
    entry << held_locks_variable << '=';
    for (const auto& lock : ancestor_locks) write_lock(entry, lock);
    for (const auto& lock : judged_locks) write_lock(entry, lock);
    write_lock(entry, {job_lock, absolute(job_lock_name)});
    return entry.str();
}

lock_wait acquire_lock(int fd, const std::string& lock_name, bool exclusive) {
    int taken = try_lock_whole_file(fd, exclusive);
    if (taken != 0) return taken > 0 ? lock_wait::locked : lock_wait::failed;
    // Holding nothing, this process cannot be part of a cycle: just wait.
    if (ancestor_locks.empty() && judged_locks.empty()) {
        return lock_whole_file(fd, exclusive) ? lock_wait::locked : lock_wait::failed;
    }
    // Otherwise wait in short steps, looking each time whether the holders of
    // the lock wait for this process's own upstream locks.
    const std::string wanted = absolute(lock_name);
    const wait_notes notes(wanted);
    useconds_t pause = 2000;
    for (;;) {
        if (waits_lead_back(wanted)) return lock_wait::cycle;
        usleep(pause);
        pause = std::min<useconds_t>(pause * 2, 100000);
        taken = try_lock_whole_file(fd, exclusive);
        if (taken != 0) return taken > 0 ? lock_wait::locked : lock_wait::failed;
    }
}

void report_cycle(const char* program_name, const std::string& target) {
    diagnostic_prefix(program_name, "ERROR") << target << ": Dependency cycle detected.\n";
}

void clear_held_locks() {
    ancestor_locks.clear();
    judged_locks.clear();
}

}  // namespace ombu
