// Text conversion between the encodings found on disks (UTF-16LE, Windows-1252) and the
// UTF-8 that the program uses everywhere inside.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quillon {

// UTF-16LE code units to UTF-8. Stops at the first NUL unit. Unpaired surrogates become
// U+FFFD so that every name read from a volume converts.
[[nodiscard]] std::string utf16leToUtf8(std::span<const std::uint8_t> bytes);
[[nodiscard]] std::string utf16ToUtf8(std::u16string_view units);

// Windows-1252 bytes to UTF-8 (the five undefined bytes map to U+FFFD).
[[nodiscard]] std::string windows1252ToUtf8(std::string_view bytes);

// UTF-8 to one code point per character; each malformed byte becomes U+FFFD.
[[nodiscard]] std::u32string utf8ToUtf32(std::string_view bytes);

// True when the bytes are well-formed UTF-8.
[[nodiscard]] bool isValidUtf8(std::string_view bytes);

// Appends the UTF-8 form of one code point.
void appendUtf8(std::string &out, char32_t cp);

} // namespace quillon
