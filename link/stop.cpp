// The ways a run stops early: a stop signal between two C2 frames, and a
// port that stops answering. Either way the layers' clean-up runs, the user
// is told why, and the exit status says so.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "c2.h"
#include "c2_stop.h"
#include "port.h"

namespace {

volatile sig_atomic_t pending_signal = 0;
const char *interrupt_note = nullptr;
void (*interrupt_cleanup)() = nullptr;

extern "C" void on_signal(int sig) { pending_signal = sig; }

}  // namespace

void c2_catch_signals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a sleep ends early and the run stops sooner
    const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
    for (int sig : stop_signals) {
        // Ignored when we started (nohup, a shell's background job): the
        // caller meant it to stay so.
        struct sigaction inherited;
        if (sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN)
            continue;
        sigaction(sig, &sa, nullptr);
    }
}

void c2_interrupt_note(const char *note) { interrupt_note = note; }

void c2_interrupt_cleanup(void (*cleanup)()) { interrupt_cleanup = cleanup; }

int c2_interrupted() { return pending_signal; }

void c2_port_lost(const std::string &why, const char *remedy)
{
    fflush(stdout);
    fprintf(stderr, "\nharlune: %s\n%s", why.c_str(), remedy);
    if (interrupt_cleanup)
        interrupt_cleanup();
    if (interrupt_note)
        fprintf(stderr, "%s\n", interrupt_note);
    exit(255);
}

void c2_stop_if_interrupted()
{
    int sig = pending_signal;
    if (sig == 0)
        return;
    // The target first: printing may block on a stalled reader.
    C2CK_reset();
    c2_release();
    if (interrupt_cleanup)
        interrupt_cleanup();
    fflush(stdout);
    const char *name = sigabbrev_np(sig);
    if (name)
        fprintf(stderr, "\nInterrupted by SIG%s: stopped between two C2 frames\n", name);
    else
        fprintf(stderr, "\nInterrupted by signal %d: stopped between two C2 frames\n", sig);
    if (interrupt_note)
        fprintf(stderr, "%s\n", interrupt_note);
    exit(128 + sig);
}
