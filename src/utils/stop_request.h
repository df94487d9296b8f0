#ifndef LODEMIG_UTILS_STOP_REQUEST_H_
#define LODEMIG_UTILS_STOP_REQUEST_H_

namespace ostrel::utils {

// SIGINT and SIGTERM as a request to stop: after watchStopSignals() the
// first of them is only remembered (stopSignal()), so that the run can end at
// a point where nothing is lost; a second one ends the process at once, as
// the signal would have without the handler. Interrupted system calls are
// restarted. Process-wide; call from the main thread.
void watchStopSignals();
// The signal that asked the run to stop (SIGINT, SIGTERM), or 0.
int stopSignal();
// "SIGINT", "SIGTERM" or "signal N".
const char* signalName(int signal);

}  // namespace ostrel::utils

#endif  // LODEMIG_UTILS_STOP_REQUEST_H_
