#include "flow/runner/Signals.h"

#include <signal.h>

#include <csignal>

#include "flow/Stream.h"

namespace FD {
namespace runner {

namespace {
volatile std::sig_atomic_t caught = 0;

void onStop(int sig) {
    if (!caught) caught = sig;
    requestStop();
}
}  // namespace

void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a read blocked on a silent input returns, so the run ends now.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int stopSignal() { return caught; }

}  // namespace runner
}  // namespace FD
