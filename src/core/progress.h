// Progress: how a long operation reports to whoever runs it (status lines, a progress range and
// position, and message-box requests that return the user's answer). Each front end implements
// it; RecordingProgress keeps every call for tests and answers message boxes from a script.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// Caption every message box carries unless the caller says otherwise.
inline constexpr std::string_view kAppTitle = "Quillon(Full) v3.02";

enum class MessageIcon { Information, Question, Warning, Error };
enum class MessageButtons { Ok, OkCancel, YesNo, YesNoCancel };
enum class MessageAnswer { Ok, Cancel, Yes, No };

class Progress {
public:
  virtual ~Progress() = default;
  virtual void setStatus(std::string_view text) = 0;
  virtual void setSecondStatus(std::string_view text) = 0;
  virtual void setRange(std::uint64_t low, std::uint64_t high) = 0;
  virtual void setPosition(std::uint64_t position) = 0;
  virtual MessageAnswer message(std::string_view text, std::string_view caption, MessageIcon icon,
                                MessageButtons buttons) = 0;

  // The common case: an information box with the application title and an OK button.
  void inform(std::string_view text) {
    (void)message(text, kAppTitle, MessageIcon::Information, MessageButtons::Ok);
  }
};

// Discards everything; message boxes answer with their first button.
class NullProgress final : public Progress {
public:
  void setStatus(std::string_view) override {}
  void setSecondStatus(std::string_view) override {}
  void setRange(std::uint64_t, std::uint64_t) override {}
  void setPosition(std::uint64_t) override {}
  MessageAnswer message(std::string_view, std::string_view, MessageIcon,
                        MessageButtons buttons) override;
};

// Keeps every call, in order; thread-safe so a worker may report while a test reads.
class RecordingProgress final : public Progress {
public:
  struct Message {
    std::string text;
    std::string caption;
    MessageIcon icon;
    MessageButtons buttons;
  };

  void setStatus(std::string_view text) override;
  void setSecondStatus(std::string_view text) override;
  void setRange(std::uint64_t low, std::uint64_t high) override;
  void setPosition(std::uint64_t position) override;
  MessageAnswer message(std::string_view text, std::string_view caption, MessageIcon icon,
                        MessageButtons buttons) override;

  // Answers given to the next message boxes, in order; when empty the first button answers.
  void scriptAnswers(std::vector<MessageAnswer> answers);

  [[nodiscard]] std::vector<std::string> statuses() const;
  [[nodiscard]] std::vector<std::string> secondStatuses() const;
  [[nodiscard]] std::vector<Message> messages() const;
  [[nodiscard]] std::vector<std::uint64_t> positions() const;
  [[nodiscard]] std::pair<std::uint64_t, std::uint64_t> range() const;
  [[nodiscard]] bool sawStatus(std::string_view text) const;

private:
  mutable std::mutex mutex_;
  std::vector<std::string> statuses_;
  std::vector<std::string> secondStatuses_;
  std::vector<Message> messages_;
  std::vector<std::uint64_t> positions_;
  std::pair<std::uint64_t, std::uint64_t> range_{0, 0};
  std::deque<MessageAnswer> answers_;
};

[[nodiscard]] MessageAnswer firstButtonAnswer(MessageButtons buttons);

} // namespace quillon
