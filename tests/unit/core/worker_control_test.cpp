// Stop flag and counted pause gate.
#include "core/worker_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace quillon {
namespace {

TEST(WorkerControl, PausesAreCountedAndStopReleasesAPausedWorker) {
  WorkerControl control;
  std::atomic<int> passed{0};
  control.pause();
  control.pause();
  std::thread worker([&] {
    while (control.checkpoint()) {
      ++passed;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(passed.load(), 0);
  control.resume(); // one of two pauses lifted: still held
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(passed.load(), 0);
  control.resume();
  while (passed.load() == 0) {
    std::this_thread::yield();
  }
  control.pause();
  control.requestStop(); // must wake the paused worker and end it
  worker.join();
  EXPECT_TRUE(control.stopRequested());
  EXPECT_FALSE(control.checkpoint());
}

} // namespace
} // namespace quillon
