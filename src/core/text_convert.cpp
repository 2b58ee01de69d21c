// UTF-16, Windows-1252 and UTF-8 conversion.
#include "core/text_convert.h"

#include <array>

namespace quillon {

void appendUtf8(std::string &out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    cp = 0xFFFD;
  }
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string utf16ToUtf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (u == 0) {
      break;
    }
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      const char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                          (static_cast<char32_t>(units[i + 1]) - 0xDC00);
      appendUtf8(out, cp);
      ++i;
    } else {
      appendUtf8(out, u); // unpaired surrogates become U+FFFD inside appendUtf8
    }
  }
  return out;
}

std::string utf16leToUtf8(std::span<const std::uint8_t> bytes) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  }
  return utf16ToUtf8(units);
}

std::string windows1252ToUtf8(std::string_view bytes) {
  // 0x80..0x9F differ from Latin-1; the rest of the upper half is Latin-1.
  static constexpr std::array<char16_t, 32> kHigh = {
      0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x80 && b <= 0x9F) {
      appendUtf8(out, kHigh[b - 0x80]);
    } else {
      appendUtf8(out, b);
    }
  }
  return out;
}

namespace {

// Decodes the UTF-8 sequence at s[i]; returns its length, or 0 when it is malformed (bad lead
// or continuation byte, truncated, overlong, a surrogate or past U+10FFFF).
std::size_t decodeUtf8(std::string_view s, std::size_t i, char32_t &cp) {
  const auto b = static_cast<unsigned char>(s[i]);
  std::size_t len = 0;
  if (b < 0x80) {
    cp = b;
    return 1;
  }
  if ((b & 0xE0) == 0xC0) {
    len = 2;
    cp = b & 0x1F;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3;
    cp = b & 0x0F;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4;
    cp = b & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) {
    return 0;
  }
  for (std::size_t k = 1; k < len; ++k) {
    const auto c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) {
      return 0;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  static constexpr std::array<char32_t, 5> kMin = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return len;
}

} // namespace

bool isValidUtf8(std::string_view s) {
  char32_t cp = 0;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t len = decodeUtf8(s, i, cp);
    if (len == 0) {
      return false;
    }
    i += len;
  }
  return true;
}

std::u32string utf8ToUtf32(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  char32_t cp = 0;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t len = decodeUtf8(s, i, cp);
    out.push_back(len == 0 ? U'\uFFFD' : cp);
    i += len == 0 ? 1 : len;
  }
  return out;
}

} // namespace quillon
