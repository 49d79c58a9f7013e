// A fuzz target's check of a property: a broken one stops the run as a crash,
// which libFuzzer reports with the input that caused it.
#pragma once

#include <cstdlib>

namespace fuzz {

inline void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace fuzz
