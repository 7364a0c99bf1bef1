// The interruption flag, set by the signal handler and read by the walk between two paths.
#include "interruption.h"

#include <unistd.h>

#include <csignal>
#include <initializer_list>

namespace {

volatile sig_atomic_t asked = 0;

extern "C" void ask_to_stop(int sig) {
    if (asked == 0) asked = sig;
}

}  // namespace

void catch_interruptions() {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction was {};
        if (sigaction(sig, nullptr, &was) != 0 || was.sa_handler == SIG_IGN) continue;
        struct sigaction sa {};
        sa.sa_handler = ask_to_stop;
        // One at a time: the first to ask is the one that ends the run.
        sigemptyset(&sa.sa_mask);
        for (const int other : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&sa.sa_mask, other);
        // Restarted, a write to a slow reader goes on; reset, a second signal is not caught.
        sa.sa_flags = SA_RESTART | SA_RESETHAND;
        static_cast<void>(sigaction(sig, &sa, nullptr));
    }
}

int interruption() {
    return asked;
}

int settle_interruption() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
    static_cast<void>(sigprocmask(SIG_BLOCK, &set, nullptr));
    return asked;
}

void end_by(int sig) {
    static_cast<void>(signal(sig, SIG_DFL));
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    static_cast<void>(sigprocmask(SIG_UNBLOCK, &set, nullptr));
    static_cast<void>(raise(sig));
    _exit(128 + sig);  // only if the signal does not end the process after all
}
