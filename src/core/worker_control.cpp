// Stop flag and counted pause gate for worker threads.
#include "core/worker_control.h"

namespace quillon {

void WorkerControl::requestStop() {
  {
    std::lock_guard lock(mutex_);
    stop_.store(true);
  }
  wake_.notify_all();
}

void WorkerControl::pause() {
  std::lock_guard lock(mutex_);
  ++pauses_;
}

void WorkerControl::resume() {
  {
    std::lock_guard lock(mutex_);
    if (pauses_ > 0) {
      --pauses_;
    }
  }
  wake_.notify_all();
}

int WorkerControl::pauseCount() const {
  std::lock_guard lock(mutex_);
  return pauses_;
}

bool WorkerControl::checkpoint() {
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return pauses_ == 0 || stop_.load(); });
  return !stop_.load();
}

} // namespace quillon
