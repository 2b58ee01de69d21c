// WorkerControl: the stop flag and the counted pause gate that a worker thread polls. A pause
// takes effect at the worker's next checkpoint; two pauses need two resumes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace quillon {

class WorkerControl {
public:
  void requestStop();
  void clearStop() { stop_.store(false); }
  [[nodiscard]] bool stopRequested() const { return stop_.load(std::memory_order_relaxed); }

  void pause();
  void resume();
  [[nodiscard]] int pauseCount() const;

  // Blocks while paused (a stop request releases it); returns false once a stop was requested.
  bool checkpoint();

private:
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  int pauses_ = 0;
};

} // namespace quillon
