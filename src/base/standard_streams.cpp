#include "base/standard_streams.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "base/descriptor_buffer.hpp"
#include "base/diagnostics.hpp"

namespace ombu {

namespace {

descriptor_buffer* standard_output = nullptr;

}  // namespace

bool open_closed_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower descriptors are open by now, so the lowest free number,
        // which open takes, is fd. Not close-on-exec: scripts get them too.
        if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) return false;
    }
    return true;
}

void use_checked_standard_output() {
    // Never destroyed, like the log's buffer: the standard streams outlive
    // ordinary statics.
    if (standard_output == nullptr) {
        standard_output = new descriptor_buffer(STDOUT_FILENO, isatty(STDOUT_FILENO) ? 1 : 65536);
    }
    std::cout.rdbuf(standard_output);
}

bool finish_standard_output(const char* program_name) {
    std::cout.flush();
    int error = 0;
    if (standard_output != nullptr && std::cout.rdbuf() == standard_output) {
        error = standard_output->error();
    } else if (!std::cout) {
        error = EIO;  // a buffer that keeps no error number
    }
    if (error == 0) return true;
    report_system_error(program_name, "standard output", error);
    return false;
}

}  // namespace ombu
