#include "base/interrupt.hpp"

#include <signal.h>
#include <unistd.h>

namespace ombu {

namespace {

volatile sig_atomic_t noted_signal = 0;

constexpr int caught_signals[] = {SIGINT, SIGTERM, SIGHUP};

void note_signal(int signal_number) {
    if (noted_signal == 0) noted_signal = signal_number;
}

}  // namespace

void catch_interrupts() {
    for (const int signal_number : caught_signals) {
        struct sigaction previous;
        if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action = {};
        action.sa_handler = note_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: waits return with EINTR
        sigaction(signal_number, &action, nullptr);
    }
}

int interrupt_signal() { return noted_signal; }

void die_by_interrupt() {
    const int signal_number = noted_signal;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, signal_number);
    sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
    raise(signal_number);
    _exit(128 + signal_number);  // not reached: the default action ends the process
}

void note_interrupt(int signal_number) { note_signal(signal_number); }

}  // namespace ombu
