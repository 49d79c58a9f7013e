// Runs the built executable, under any of its names, in a temporary directory
// and captures its exit status, standard output and standard error.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace ombu_test {

struct run_result {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// A fresh directory, removed with everything in it at destruction.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Environment changes for a run: set (name, value) pairs, applied over the
// test process's environment, from which the variables that steer the build
// commands (OMBUFLAGS, MAKEFLAGS, MFLAGS, MAKELEVEL, __MKLVL__, OMBULOCKS,
// OMBUBUILD, OMBUALIVE) are removed first. The directory of the built executable is put
// first on PATH.
using env_list = std::vector<std::pair<std::string, std::string>>;

// The directory holding the built executable and its links.
std::string binary_dir();

// Descriptors handed to a run: (number in the child, descriptor of the test
// process). Apart from these and 0, 1 and 2, a run starts with no descriptor
// open, whatever the test process holds.
using fd_list = std::vector<std::pair<int, int>>;

// Runs binary_dir()/name with args in cwd.
run_result run_command(const std::string& name, const std::vector<std::string>& args,
                       const std::string& cwd, const env_list& env = {}, const fd_list& fds = {});
// Runs argv as given (argv[0] searched on PATH) in cwd.
run_result run_program(const std::vector<std::string>& argv, const std::string& cwd,
                       const env_list& env = {});
// Runs a shell command line in cwd.
run_result run_shell(const std::string& command, const std::string& cwd, const env_list& env = {});

// Shell words that wait until file exists, for at most 20 seconds.
std::string wait_for(const std::string& file);
// Runs a shell command line in cwd, ended after 120 seconds should a build
// never end.
run_result guarded(const std::string& command, const std::string& cwd);

// Writes a file (making its parent directories); mode 0755 makes a script.
void write_file(const std::string& path, const std::string& content, unsigned mode = 0644);
std::string read_file(const std::string& path);
// Gives a file the modification time of an edit made that many seconds ago.
// Tests of later edits date files back rather than forward: a source whose
// time is not earlier than a script's launch counts as changed after the
// script used it, every time.
void set_edited_ago(const std::string& path, int seconds);
bool exists(const std::string& path);
// The number of bytes waiting to be read from a pipe or socket.
int bytes_in(int fd);

// Copies the files of examples/<name> of the source tree into the directory
// to, leaving out what the example's .gitignore names: the outputs of a
// build made in the source tree.
void copy_example(const std::string& name, const std::string& to);

// The targets that a build reported as rebuilt ("<target>: Ombune.").
std::vector<std::string> rebuilt_targets(const std::string& diagnostics);

// The most scripts that were inside their work at once, from the "start NAME"
// and "end NAME" lines they appended to a log.
int most_at_once(const std::string& log);

}  // namespace ombu_test
