#include "database/layout.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace ombu {

namespace {

// The existence test of the database: follows symbolic links, and any failure
// counts as "does not exist".
bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

constexpr const char* source_test_suffixes[] = {prerequisites_suffix, prerequisites_ne_suffix,
                                                pending_suffix, pending_ne_suffix};

// The database files found in one directory by one reading of it, and the
// directory's modification time just before that reading.
//
// A database file is never removed by a build (a pending file becomes the
// prerequisites file by a rename), so an entry seen here exists for good. Its
// absence is trusted only for a name whose status last changed before that
// modification time: a build creates a target's pending file before the
// target's output, and the output gets its change time when it is created or
// renamed onto the name, so a target committed after the reading has a change
// time no earlier than the directory's. Any other name is asked afresh.
struct directory_listing {
    bool listed = false;
    unsigned names_asked = 0;  // names tested one by one before any reading
    bool read_tried = false;
    struct timespec modified {};
    std::unordered_set<std::string> files;       // database files that are not links
    std::unordered_set<std::string> uncertain;   // links and entries of unknown type
};

std::unordered_map<std::string, directory_listing> listings;

// Reading a directory costs about as much as testing a few dozen names one by
// one (an ombu-ifchange of three sources would spend most of its time reading
// a database directory of thousands of entries), so a directory is read only
// once this many of its names have been tested singly. Both ways give the same
// answers.
constexpr unsigned default_names_before_listing = 48;
unsigned names_before_listing = default_names_before_listing;

bool is_database_file(const std::string& entry) {
    for (const char* suffix : source_test_suffixes) {
        const std::string_view end(suffix);
        if (entry.size() > end.size() && entry.compare(entry.size() - end.size(), end.size(), end) == 0) {
            return true;
        }
    }
    return false;
}

void read_listing(const std::string& directory, directory_listing& listing) {
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat status;
    DIR* entries = fstat(fd, &status) == 0 ? fdopendir(fd) : nullptr;
    if (entries == nullptr) {
        close(fd);
        return;
    }
    listing.modified = status.st_mtim;
    while (const struct dirent* entry = readdir(entries)) {
        std::string entry_name = entry->d_name;
        if (!is_database_file(entry_name)) continue;
#ifdef _DIRENT_HAVE_D_TYPE
        const bool plain = entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN;
#else
        const bool plain = false;
#endif
        (plain ? listing.files : listing.uncertain).insert(std::move(entry_name));
    }
    closedir(entries);
    listing.listed = true;
}

const directory_listing& listing_of(const std::string& directory) {
    directory_listing& listing = listings[directory];
    // A directory that cannot be read stays unlisted: its names are asked one by one.
    if (!listing.read_tried && listing.names_asked++ >= names_before_listing) {
        listing.read_tried = true;
        read_listing(directory, listing);
    }
    return listing;
}

bool earlier(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

std::string database_path(const std::string& target, const char* suffix) {
    return database_prefix + target + suffix;
}

bool is_source_file(const std::string& name) {
    if (!exists(name)) return false;
    for (const char* suffix : {prerequisites_suffix, prerequisites_ne_suffix, pending_suffix}) {
        if (exists(database_path(name, suffix))) return false;
    }
    return !exists(database_path(name, pending_ne_suffix));
}

bool is_source_listed(const std::string& name, bool& present, struct stat* name_status) {
    struct stat status;
    present = lstat(name.c_str(), &status) == 0 && (!S_ISLNK(status.st_mode) || exists(name));
    if (!present) return false;
    if (name_status != nullptr) *name_status = status;
    const std::string first = database_path(name, source_test_suffixes[0]);
    const auto slash = first.rfind('/');
    const directory_listing& listing = listing_of(first.substr(0, slash));
    const std::string base = first.substr(slash + 1, first.size() - slash - 1 - std::strlen(source_test_suffixes[0]));
    bool listing_decides = listing.listed && earlier(status.st_ctim, listing.modified);
    for (const char* suffix : source_test_suffixes) {
        const std::string entry = base + suffix;
        if (listing.files.count(entry) != 0) return false;
        if ((!listing_decides || listing.uncertain.count(entry) != 0) && exists(database_path(name, suffix))) {
            return false;
        }
    }
    return true;
}

void forget_database_listings() { listings.clear(); }

bool has_database_files(const std::string& name) {
    for (const char* suffix : source_test_suffixes) {
        if (exists(database_path(name, suffix))) return true;
    }
    return false;
}

void list_database_directories_after(unsigned names) { names_before_listing = names; }

void list_database_directories_by_default() {
    names_before_listing = default_names_before_listing;
}

void make_directories(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash != std::string::npos) make_directories(path.substr(0, slash));
    // An existing directory, an empty path or any other failure passes silently:
    // a real failure shows when a file in the directory cannot be opened.
    mkdir(path.c_str(), 0777);
}

bool is_directory_reference(const std::string& name) {
    if (name == "/") return true;
    const auto slash = name.rfind('/');
    const std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
    return last.empty() || last == "." || last == "..";
}

}  // namespace ombu
