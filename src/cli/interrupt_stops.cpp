// SIGINT handling for long-running commands.
#include "cli/interrupt_stops.h"

#include "core/worker_control.h"

namespace quillon::cli {

namespace {

WorkerControl *interruptTarget = nullptr;
volatile std::sig_atomic_t interruptSeen = 0;

extern "C" void onInterrupt(int) {
  interruptSeen = 1;
  if (interruptTarget != nullptr) {
    interruptTarget->requestStop();
  }
}

} // namespace

InterruptStops::InterruptStops(WorkerControl &control) {
  interruptTarget = &control;
  interruptSeen = 0;
  struct sigaction sa {};
  sa.sa_handler = onInterrupt;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, &previous_);
}

InterruptStops::~InterruptStops() {
  ::sigaction(SIGINT, &previous_, nullptr);
  interruptTarget = nullptr;
}

bool InterruptStops::interrupted() const { return interruptSeen != 0; }

} // namespace quillon::cli
