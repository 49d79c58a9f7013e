#include "fingerprint/fingerprint.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/retry_on_interrupt.hpp"

namespace ombu {

namespace {

// Pieces this large keep the read calls' share of hashing time small; the
// buffer is static, as the stack is no place for it and the process is
// single-threaded.
constexpr std::size_t read_piece = 128 * 1024;

// Streams the content of a regular file into state in pieces. False when the
// file cannot be opened, is no longer a regular file, or a read fails.
bool absorb_file(const std::string& name, cubehash_state& state) {
    // O_NONBLOCK keeps a FIFO that replaced the file since lstat from
    // blocking the open; the fstat below then refuses it.
    const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat status;
    bool whole = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    alignas(64) static unsigned char buffer[read_piece];
    while (whole) {
        const ssize_t got = retry_on_interrupt([&] { return read(fd, buffer, sizeof buffer); });
        if (got == 0) break;
        if (got > 0) {
            state.absorb(buffer, static_cast<std::size_t>(got));
        } else {
            whole = false;
        }
    }
    close(fd);
    return whole;
}

// A file that cannot be read to its end gets the digest of empty content, as
// one that cannot be opened does: a partial digest would depend on where the
// error struck.
digest content_digest(const std::string& name) {
    cubehash_state state;
    return absorb_file(name, state) ? state.finish() : cubehash_state().finish();
}

}  // namespace

fingerprint make_fingerprint(const std::string& name, const fingerprint* previous) {
    struct stat status;
    if (lstat(name.c_str(), &status) != 0) return fingerprint();
    return fingerprint_of_status(name, status, previous);
}

fingerprint fingerprint_of_status(const std::string& name, const struct stat& status,
                                  const fingerprint* previous) {
    fingerprint print;
    print.timestamp = static_cast<std::int64_t>(status.st_mtime);
    if (S_ISDIR(status.st_mode)) {
        print.type = directory;
    } else if (!S_ISREG(status.st_mode)) {
        print.type = special;
    } else {
        print.type = regular_file;
        // Only the time is compared: an unchanged time means an unchanged
        // file, whatever kind previous recorded.
        print.hash = previous != nullptr && previous->timestamp == print.timestamp
                         ? previous->hash
                         : content_digest(name);
    }
    return print;
}

const fingerprint& fingerprint_cache::lookup(const std::string& name, const fingerprint* previous) {
    auto [found, inserted] = entries_.try_emplace(name);
    entry& cached = found->second;
    const bool lends_again = previous != nullptr && previous->timestamp == cached.print.timestamp;
    if (inserted || (cached.lent && !lends_again)) {
        cached.print = make_fingerprint(name, previous);
        cached.lent = previous != nullptr && cached.print.type == regular_file &&
                      previous->timestamp == cached.print.timestamp;
    }
    return cached.print;
}

void fingerprint_cache::forget(const std::string& name) { entries_.erase(name); }

fingerprint_cache& process_fingerprints() {
    static fingerprint_cache cache;
    return cache;
}

}  // namespace ombu
