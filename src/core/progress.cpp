// Null and recording implementations of Progress.
#include "core/progress.h"

#include <algorithm>

namespace quillon {

MessageAnswer firstButtonAnswer(MessageButtons buttons) {
  switch (buttons) {
  case MessageButtons::YesNo:
  case MessageButtons::YesNoCancel:
    return MessageAnswer::Yes;
  case MessageButtons::Ok:
  case MessageButtons::OkCancel:
    break;
  }
  return MessageAnswer::Ok;
}

MessageAnswer NullProgress::message(std::string_view, std::string_view, MessageIcon,
                                    MessageButtons buttons) {
  return firstButtonAnswer(buttons);
}

void RecordingProgress::setStatus(std::string_view text) {
  std::lock_guard lock(mutex_);
  statuses_.emplace_back(text);
}

void RecordingProgress::setSecondStatus(std::string_view text) {
  std::lock_guard lock(mutex_);
  secondStatuses_.emplace_back(text);
}

void RecordingProgress::setRange(std::uint64_t low, std::uint64_t high) {
  std::lock_guard lock(mutex_);
  range_ = {low, high};
}

void RecordingProgress::setPosition(std::uint64_t position) {
  std::lock_guard lock(mutex_);
  positions_.push_back(position);
}

MessageAnswer RecordingProgress::message(std::string_view text, std::string_view caption,
                                         MessageIcon icon, MessageButtons buttons) {
  std::lock_guard lock(mutex_);
  messages_.push_back({std::string(text), std::string(caption), icon, buttons});
  if (answers_.empty()) {
    return firstButtonAnswer(buttons);
  }
  const MessageAnswer a = answers_.front();
  answers_.pop_front();
  return a;
}

void RecordingProgress::scriptAnswers(std::vector<MessageAnswer> answers) {
  std::lock_guard lock(mutex_);
  answers_.assign(answers.begin(), answers.end());
}

std::vector<std::string> RecordingProgress::statuses() const {
  std::lock_guard lock(mutex_);
  return statuses_;
}

std::vector<std::string> RecordingProgress::secondStatuses() const {
  std::lock_guard lock(mutex_);
  return secondStatuses_;
}

std::vector<RecordingProgress::Message> RecordingProgress::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<std::uint64_t> RecordingProgress::positions() const {
  std::lock_guard lock(mutex_);
  return positions_;
}

std::pair<std::uint64_t, std::uint64_t> RecordingProgress::range() const {
  std::lock_guard lock(mutex_);
  return range_;
}

bool RecordingProgress::sawStatus(std::string_view text) const {
  std::lock_guard lock(mutex_);
  return std::find(statuses_.begin(), statuses_.end(), text) != statuses_.end();
}

} // namespace quillon
