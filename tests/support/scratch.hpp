// Unit-test helpers for code that works on files relative to the current
// directory: a scratch directory to work in, small files, captured diagnostics.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace ombu_unit {

// Makes a new, empty directory under the system's temporary directory, named
// prefix followed by a unique suffix: mkdtemp replaces the six trailing X's
// of its template.
inline std::string make_temp_directory(const std::string& prefix) {
    const std::string template_end = "-" + std::string(6, 'X');
    std::string name = (std::filesystem::temp_directory_path() / (prefix + template_end)).string();
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return name;
}

// A fresh directory that is the working directory for the object's lifetime;
// the previous one comes back and the tree goes at destruction.
class scratch_directory {
public:
    scratch_directory()
        : previous_(std::filesystem::current_path()), path_(make_temp_directory("ombu-unit")) {
        std::filesystem::current_path(path_);
    }
    ~scratch_directory() {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    scratch_directory(const scratch_directory&) = delete;
    scratch_directory& operator=(const scratch_directory&) = delete;
    const std::string& path() const { return path_; }

private:
    std::filesystem::path previous_;
    std::string path_;
};

inline void put_file(const std::string& path, const std::string& content = "",
                     unsigned mode = 0644) {
    const std::filesystem::path file(path);
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
}

inline std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Each record line of a prerequisites text as "<tag>:<name>", enough to check
// which names were recorded in which form and order.
inline std::vector<std::string> record_summary(const std::string& records) {
    std::vector<std::string> summary;
    std::istringstream lines(records);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) {
            summary.emplace_back();
            continue;
        }
        const auto name_start = line[0] == 'a' ? 1 : line.rfind(' ') + 1;
        summary.push_back(line.substr(0, 1) + ":" + line.substr(name_start));
    }
    return summary;
}

// Sets the modification time of path itself, not of what a link points to.
inline void set_mtime(const std::string& path, std::int64_t seconds, long nanoseconds = 0) {
    const timespec times[2] = {{static_cast<time_t>(seconds), nanoseconds},
                               {static_cast<time_t>(seconds), nanoseconds}};
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        throw std::runtime_error("cannot set the time of " + path);
    }
}

// Collects what is written to a stream while it lives.
class captured_output {
public:
    explicit captured_output(std::ostream& stream)
        : stream_(stream), saved_(stream.rdbuf(text_.rdbuf())) {}
    ~captured_output() { stream_.rdbuf(saved_); }
    captured_output(const captured_output&) = delete;
    captured_output& operator=(const captured_output&) = delete;
    std::string str() const { return text_.str(); }

private:
    std::ostringstream text_;
    std::ostream& stream_;
    std::streambuf* saved_;
};

// What is written to std::clog, where every diagnostic line goes.
class captured_log : public captured_output {
public:
    captured_log() : captured_output(std::clog) {}
};

// What is written to std::cout, where usage and help go.
class captured_stdout : public captured_output {
public:
    captured_stdout() : captured_output(std::cout) {}
};

}  // namespace ombu_unit
