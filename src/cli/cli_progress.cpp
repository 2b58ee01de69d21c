// Terminal progress bar and message output for quillon-cli.
#include "cli/cli_progress.h"

#include <cstdio>
#include <unistd.h>

namespace quillon::cli {

CliProgress::CliProgress() : terminal_(::isatty(STDERR_FILENO) != 0) {}

CliProgress::~CliProgress() { finish(); }

void CliProgress::setStatus(std::string_view text) {
  std::lock_guard lock(mutex_);
  status_ = text;
  draw();
}

void CliProgress::setSecondStatus(std::string_view) {}

void CliProgress::setRange(std::uint64_t low, std::uint64_t high) {
  std::lock_guard lock(mutex_);
  low_ = low;
  high_ = high;
  draw();
}

void CliProgress::setPosition(std::uint64_t position) {
  std::lock_guard lock(mutex_);
  position_ = position;
  draw();
}

MessageAnswer CliProgress::message(std::string_view text, std::string_view, MessageIcon,
                                   MessageButtons buttons) {
  std::lock_guard lock(mutex_);
  if (drawn_) {
    std::fputs("\r\033[K", stderr);
    drawn_ = false;
  }
  std::fprintf(stderr, "quillon-cli: %.*s\n", static_cast<int>(text.size()), text.data());
  draw();
  return firstButtonAnswer(buttons);
}

void CliProgress::draw() {
  if (!terminal_) {
    return;
  }
  constexpr int kWidth = 30;
  int filled = 0;
  int percent = 0;
  if (high_ > low_) {
    const std::uint64_t p = position_ < low_ ? 0 : std::min(position_ - low_, high_ - low_);
    percent = static_cast<int>(p * 100 / (high_ - low_));
    filled = static_cast<int>(p * kWidth / (high_ - low_));
  }
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(kWidth, ' ');
  std::string status = status_.substr(0, 60);
  std::fprintf(stderr, "\r\033[K[%s] %3d%% %s", bar.c_str(), percent, status.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void CliProgress::finish() {
  std::lock_guard lock(mutex_);
  if (drawn_) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
  }
}

} // namespace quillon::cli
