// JSON string escaping and the object writer.
#include "core/json.h"

#include "core/text_format.h"

namespace quillon {

std::string jsonString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  std::size_t plain = 0; // start of the run of characters copied as they are
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') {
      continue;
    }
    out.append(text, plain, i - plain);
    plain = i + 1;
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
      out += format("\\u%04x", static_cast<unsigned>(c));
    }
  }
  out.append(text, plain, text.size() - plain);
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
