#include "flow/runner/Signals.h"

#include <pthread.h>
#include <signal.h>
#include <string.h>

#include <csignal>
#include <cstdio>

#include "flow/OutputFiles.h"
#include "flow/Stream.h"

namespace FD {
namespace runner {

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU};
const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS};
constexpr int kSignals = 65;

volatile std::sig_atomic_t caught = 0;
pthread_t mainThread;
struct sigaction earlier[kSignals];  // what handled each crash signal before (a sanitizer's handler)

void onStop(int sig) {
    // Threads of the loaded libraries may take the signal; the main thread is the
    // one that may be blocked reading the input, and its read must return.
    if (!pthread_equal(pthread_self(), mainThread)) {
        pthread_kill(mainThread, sig);
        return;
    }
    if (caught) {  // the second one: at once, leaving no part file behind
        removeHiddenOutputs();
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    caught = sig;
    requestStop();
}

void onCrash(int sig, siginfo_t* info, void*) {
    removeHiddenOutputs();
    sigaction(sig, &earlier[sig], nullptr);
    // A fault comes back when the handler returns and meets the earlier handler;
    // a signal that was sent is sent again.
    if (!info || info->si_code <= 0 || sig == SIGABRT) raise(sig);
}

}  // namespace

void catchSignals() {
    mainThread = pthread_self();
    struct sigaction stop {};
    stop.sa_handler = onStop;
    sigemptyset(&stop.sa_mask);
    // No SA_RESTART: a read blocked on a silent input returns, so the run ends now.
    stop.sa_flags = 0;
    for (int sig : kStopSignals) sigaction(sig, &stop, nullptr);

    struct sigaction crash {};
    crash.sa_sigaction = onCrash;
    sigemptyset(&crash.sa_mask);
    crash.sa_flags = SA_SIGINFO | SA_NODEFER;
    for (int sig : kCrashSignals) sigaction(sig, &crash, &earlier[sig]);

    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

int stopSignal() { return caught; }

const char* signalName(int sig) {
    static char name[16];
    const char* abbrev = sigabbrev_np(sig);
    if (!abbrev) return "a signal";
    snprintf(name, sizeof name, "SIG%s", abbrev);
    return name;
}

}  // namespace runner
}  // namespace FD
