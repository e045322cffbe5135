// How the runner stops on a signal: SIGINT and SIGTERM end the stream at the next
// frame boundary (a live input blocked in a read gives up at once), every writer
// finishes with the frames computed so far; a second one ends the program at once.
// SIGPIPE is ignored: an output whose reader went away fails with a message instead.
#pragma once

namespace FD {
namespace runner {

void catchStopSignals();
int stopSignal();  // the signal that asked the run to stop, 0 if none

}  // namespace runner
}  // namespace FD
