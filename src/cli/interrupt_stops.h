// Ctrl-C for the commands that run a long operation: while an InterruptStops lives, SIGINT asks
// the operation's WorkerControl to stop instead of killing the process mid-write.
#pragma once

#include <csignal>

namespace quillon {
class WorkerControl;
}

namespace quillon::cli {

class InterruptStops {
public:
  explicit InterruptStops(WorkerControl &control);
  ~InterruptStops();
  InterruptStops(const InterruptStops &) = delete;
  InterruptStops &operator=(const InterruptStops &) = delete;

  // True once Ctrl-C was pressed while this object lived (operations that clear their stop
  // flag themselves, like the candidate search, still leave this set).
  [[nodiscard]] bool interrupted() const;

private:
  struct sigaction previous_ {};
};

} // namespace quillon::cli
