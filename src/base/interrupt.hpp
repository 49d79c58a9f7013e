// Interruption of a build by SIGINT, SIGTERM or SIGHUP: the handler only
// notes the signal; the build then stops starting scripts, passes the signal
// on to the scripts it runs, cleans up after them and dies by the same signal.
#pragma once

namespace ombu {

// Catches the three signals, except those that were ignored when the process
// started (a shell's background job ignores SIGINT, and so must its builds).
// Blocking system calls are interrupted, not restarted, when one arrives.
void catch_interrupts();

// The signal that interrupted the process; 0 while none has.
int interrupt_signal();

// Dies by the signal that interrupted the process, as if it had not been
// caught, so that a calling shell or make sees it.
[[noreturn]] void die_by_interrupt();

// Notes a signal as if it had been caught (the outermost build has ended: a
// nested build stops as if it had been sent SIGTERM).
void note_interrupt(int signal_number);

}  // namespace ombu
