// How the runner ends on a signal.
//
//  - SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2 and SIGXCPU end the
//    stream at the next frame boundary (a live input blocked in a read gives up at
//    once) and every writer finishes with the frames computed so far; a second one
//    ends the program at once, removing the hidden part files of its outputs (no
//    earlier result is replaced).
//  - SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP and SIGSYS (a crash) remove
//    the part files, then take their usual course.
//  - SIGPIPE and SIGXFSZ are ignored: an output whose reader went away, or that
//    passes the file size limit, fails with a message instead.
#pragma once

namespace FD {
namespace runner {

// Installs the handlers; called first thing, so that loading is covered too.
void catchSignals();
int stopSignal();  // the signal that asked the run to stop, 0 if none
// "SIGINT" for SIGINT.
const char* signalName(int sig);

}  // namespace runner
}  // namespace FD
