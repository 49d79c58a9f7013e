#pragma once

#include <string>

#include "runner/job.hpp"

namespace ombu {

struct script_match {
    std::string directory_prefix;  // the target's directory part, with its final "/"
    std::string stem;
    std::string extension;  // empty for the target's own script
};

// Finds the .do script of job.name (stored in job.script) and records the
// search into pending_fd: absent records for the candidates that were not
// there, the fingerprint of the one found.
bool find_script(const char* program_name, Job& job, script_match& match, int pending_fd);

}  // namespace ombu
