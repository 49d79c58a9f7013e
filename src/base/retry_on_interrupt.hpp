// Retrying a system call that a signal's handler interrupted (-1, EINTR).
#pragma once

#include <cerrno>

#include "base/interrupt.hpp"

namespace ombu {

// Calls call() again for as long as it fails with EINTR, and returns what it
// last returned: the result of a call that a signal did not cut short.
template <typename Call>
auto retry_on_interrupt(Call call) -> decltype(call()) {
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR) return result;
    }
}

// As retry_on_interrupt, but a call interrupted once the process has noted an
// interrupting signal (interrupt_signal) returns its failure, EINTR in errno:
// for waits that must end when the build is told to stop.
template <typename Call>
auto retry_unless_interrupted(Call call) -> decltype(call()) {
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR || interrupt_signal() != 0) return result;
    }
}

}  // namespace ombu
