// Progress for the command line: on a terminal, a progress bar with the current status on
// stderr; message boxes are printed to stderr and answered with their first button.
#pragma once

#include "core/progress.h"

#include <mutex>
#include <string>

namespace quillon::cli {

class CliProgress final : public Progress {
public:
  CliProgress();
  ~CliProgress() override;
  CliProgress(const CliProgress &) = delete;
  CliProgress &operator=(const CliProgress &) = delete;

  void setStatus(std::string_view text) override;
  void setSecondStatus(std::string_view text) override;
  void setRange(std::uint64_t low, std::uint64_t high) override;
  void setPosition(std::uint64_t position) override;
  MessageAnswer message(std::string_view text, std::string_view caption, MessageIcon icon,
                        MessageButtons buttons) override;

  // Clears the bar line so that ordinary output starts on a clean line.
  void finish();

private:
  void draw();

  std::mutex mutex_;
  bool terminal_ = false;
  bool drawn_ = false;
  std::uint64_t low_ = 0;
  std::uint64_t high_ = 0;
  std::uint64_t position_ = 0;
  std::string status_;
};

} // namespace quillon::cli
