#pragma once

namespace ombu {

// The build commands ombu, ombu-ifchange and ombu-ifcreate: options from the
// environment and the command line, job server, nesting level, dispatch.
int build_command(const char* program_name, int argc, char** argv);

}  // namespace ombu
