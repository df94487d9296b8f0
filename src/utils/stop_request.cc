#include "utils/stop_request.h"

#include <signal.h>

#include <csignal>
#include <cstdio>

namespace ostrel::utils {
namespace {

volatile std::sig_atomic_t requested = 0;

extern "C" void onStopSignal(int signal) {
  if (requested != 0) {
    // The second one: the user will not wait any longer.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    return;
  }
  requested = signal;
}

}  // namespace

void watchStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

int stopSignal() {
  return requested;
}

const char* signalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    default: {
      static char text[32];
      std::snprintf(text, sizeof(text), "signal %d", signal);
      return text;
    }
  }
}

}  // namespace ostrel::utils
