// A small JSON object writer for the command line's one-object-per-line output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

// Quotes and escapes text as a JSON string (control characters as \u00XX).
[[nodiscard]] std::string jsonString(std::string_view text);

class JsonObject {
public:
  JsonObject &add(std::string_view key, std::string_view value);
  JsonObject &add(std::string_view key, const char *value) {
    return add(key, std::string_view(value));
  }
  JsonObject &add(std::string_view key, std::uint64_t value);
  JsonObject &add(std::string_view key, bool value);
  JsonObject &addNull(std::string_view key);
  [[nodiscard]] std::string text() const { return body_ + "}"; }

private:
  void key(std::string_view k);
  std::string body_ = "{";
};

} // namespace quillon
