#include "flow/runner/Signals.h"

#include <pthread.h>
#include <signal.h>

#include <csignal>

#include "flow/Stream.h"

namespace FD {
namespace runner {

namespace {
volatile std::sig_atomic_t caught = 0;
pthread_t mainThread;

void onStop(int sig) {
    // Threads of the loaded libraries may take the signal; the main thread is the
    // one that may be blocked reading the input, and its read must return.
    if (!pthread_equal(pthread_self(), mainThread)) {
        pthread_kill(mainThread, sig);
        return;
    }
    if (caught) {  // the second one: at once
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    caught = sig;
    requestStop();
}
}  // namespace

void catchStopSignals() {
    mainThread = pthread_self();
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read blocked on a silent input returns, so the run ends now.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int stopSignal() { return caught; }

}  // namespace runner
}  // namespace FD
