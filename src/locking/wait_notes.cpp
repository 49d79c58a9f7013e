#include "locking/wait_notes.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/directory_tree.hpp"
#include "base/process.hpp"
#include "base/retry_on_interrupt.hpp"
#include "locking/held_locks.hpp"

namespace ombu {

namespace {

std::string notes_directory(const std::string& lock_path) { return lock_path + ".waits"; }

bool is_process_id(const char* name) {
    if (*name == '\0') return false;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9') return false;
    }
    return true;
}

// The whole content of the file open on fd: a path may hold any byte but NUL.
std::string read_all(int fd) {
    std::string text;
    char buffer[512];
    for (;;) {
        const ssize_t got = retry_on_interrupt([&] { return read(fd, buffer, sizeof buffer); });
        if (got <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

bool write_all(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put =
            retry_on_interrupt([&] { return write(fd, text.data() + done, text.size() - done); });
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

constexpr const char* draft_suffix = ".new";

// Creates the draft, and the directory when it is missing; another writer
// that has ended may remove the directory between the two, hence the retries.
int open_draft(const std::string& directory, const std::string& draft) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        make_directories(directory);
        const int fd = open(draft.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd >= 0 || errno != ENOENT) return fd;
    }
    return -1;
}

// Removes the file open on fd unless another file has taken its name meanwhile.
void remove_if_same(int fd, const std::string& file) {
    struct stat opened, named;
    if (fstat(fd, &opened) == 0 && lstat(file.c_str(), &named) == 0 &&
        opened.st_ino == named.st_ino && opened.st_dev == named.st_dev) {
        unlink(file.c_str());
    }
}

}  // namespace

wait_notes::wait_notes(const std::string& wanted) {
    // A note is written and locked under a name that readers pass over, then
    // renamed into place, so that no reader ever finds it unlocked.
    const std::string pid = std::to_string(getpid());
    for (const auto& lock : upstream_locks()) {
        const std::string directory = notes_directory(lock.path);
        const std::string file = directory + '/' + pid;
        const std::string draft = file + draft_suffix;
        const int fd = open_draft(directory, draft);
        if (fd < 0) continue;
        if (lock_whole_file(fd, true) && write_all(fd, wanted) &&
            rename(draft.c_str(), file.c_str()) == 0) {
            notes_.push_back({directory, file, fd});
        } else {
            unlink(draft.c_str());
            close(fd);
        }
    }
}

wait_notes::~wait_notes() {
    for (const auto& note : notes_) {
        unlink(note.file.c_str());
        close(note.fd);
        rmdir(note.directory.c_str());  // when empty
    }
}

std::vector<std::string> waited_for_under(const std::string& lock_path) {
    std::vector<std::string> wanted;
    const std::string directory = notes_directory(lock_path);
    DIR* notes = opendir(directory.c_str());
    if (notes == nullptr) return wanted;
    const std::string own = std::to_string(getpid());
    while (const dirent* entry = readdir(notes)) {
        // Drafts are passed over: their writers are still making them.
        if (!is_process_id(entry->d_name) || own == entry->d_name) continue;
        const std::string file = directory + '/' + entry->d_name;
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) continue;
        if (try_lock_whole_file(fd, false) == 1) {
            // Nobody holds it: its writer has gone.
            remove_if_same(fd, file);
        } else {
            // Its writer holds it (or locks cannot tell): the wait goes on.
            const std::string path = read_all(fd);
            if (!path.empty()) wanted.push_back(path);
        }
        close(fd);
    }
    closedir(notes);
    return wanted;
}

}  // namespace ombu
