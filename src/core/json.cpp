// JSON string escaping and the object writer.
#include "core/json.h"

#include "core/text_format.h"

namespace quillon {

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (static_cast<unsigned char>(c) < 0x20) {
        out += format("\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      } else {
        out += c;
      }
    }
  }
  out += '"';
  return out;
}

void JsonObject::key(std::string_view k) {
  if (body_.size() > 1) {
    body_ += ',';
  }
  body_ += jsonString(k);
  body_ += ':';
}

JsonObject &JsonObject::add(std::string_view k, std::string_view value) {
  key(k);
  body_ += jsonString(value);
  return *this;
}

JsonObject &JsonObject::add(std::string_view k, std::uint64_t value) {
  key(k);
  body_ += std::to_string(value);
  return *this;
}

JsonObject &JsonObject::add(std::string_view k, bool value) {
  key(k);
  body_ += value ? "true" : "false";
  return *this;
}

JsonObject &JsonObject::addNull(std::string_view k) {
  key(k);
  body_ += "null";
  return *this;
}

} // namespace quillon
