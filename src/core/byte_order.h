// Byte-order readers over spans of bytes read from an image. Every read is bounds-checked:
// a field that would run past the end of the span reads as zero, so a truncated structure
// never reads out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quillon {

using Bytes = std::span<const std::uint8_t>;

template <typename T, std::size_t N> [[nodiscard]] constexpr T readLe(Bytes b, std::size_t off) {
  if (off > b.size() || b.size() - off < N) {
    return 0;
  }
  T v = 0;
  for (std::size_t i = 0; i < N; ++i) {
    v |= static_cast<T>(static_cast<T>(b[off + i]) << (8 * i));
  }
  return v;
}

template <typename T, std::size_t N> [[nodiscard]] constexpr T readBe(Bytes b, std::size_t off) {
  if (off > b.size() || b.size() - off < N) {
    return 0;
  }
  T v = 0;
  for (std::size_t i = 0; i < N; ++i) {
    v = static_cast<T>((v << 8) | b[off + i]);
  }
  return v;
}

[[nodiscard]] constexpr std::uint8_t u8(Bytes b, std::size_t off) {
  return off < b.size() ? b[off] : 0;
}
[[nodiscard]] constexpr std::uint16_t le16(Bytes b, std::size_t off) {
  return readLe<std::uint16_t, 2>(b, off);
}
[[nodiscard]] constexpr std::uint32_t le32(Bytes b, std::size_t off) {
  return readLe<std::uint32_t, 4>(b, off);
}
[[nodiscard]] constexpr std::uint64_t le64(Bytes b, std::size_t off) {
  return readLe<std::uint64_t, 8>(b, off);
}
[[nodiscard]] constexpr std::uint16_t be16(Bytes b, std::size_t off) {
  return readBe<std::uint16_t, 2>(b, off);
}
[[nodiscard]] constexpr std::uint32_t be32(Bytes b, std::size_t off) {
  return readBe<std::uint32_t, 4>(b, off);
}
[[nodiscard]] constexpr std::uint64_t be64(Bytes b, std::size_t off) {
  return readBe<std::uint64_t, 8>(b, off);
}

// True when the bytes at off spell text exactly (no terminator needed).
[[nodiscard]] constexpr bool hasBytes(Bytes b, std::size_t off, std::string_view text) {
  if (off > b.size() || b.size() - off < text.size()) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (b[off + i] != static_cast<std::uint8_t>(text[i])) {
      return false;
    }
  }
  return true;
}

// Little-endian writers, used by the image builders of tests and by our own output.
inline void putLe(std::span<std::uint8_t> b, std::size_t off, std::uint64_t v, std::size_t n) {
  for (std::size_t i = 0; i < n && off + i < b.size(); ++i) {
    b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
  }
}
inline void putBe(std::span<std::uint8_t> b, std::size_t off, std::uint64_t v, std::size_t n) {
  for (std::size_t i = 0; i < n && off + i < b.size(); ++i) {
    b[off + i] = static_cast<std::uint8_t>(v >> (8 * (n - 1 - i)));
  }
}

} // namespace quillon
