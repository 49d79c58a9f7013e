#pragma once

namespace ombu {

// The cubehash command: prints the fingerprint record of every named file.
int cubehash_command(const char* program_name, int argc, char** argv);

}  // namespace ombu
