// LZNT1 decompression.
#include "fs/ntfs/lznt1.h"

#include <algorithm>
#include <cstring>

namespace quillon {

namespace {

constexpr std::uint16_t kSizeMask = 0x0FFF;
constexpr std::uint16_t kCompressedFlag = 0x8000;

// Splits a back-reference token by the output position p (1..4096) within its chunk: the
// further into the chunk, the more bits go to the displacement.
struct BackReference {
  std::size_t displacement;
  std::size_t length;
};

BackReference splitToken(std::uint16_t token, std::size_t p) {
  unsigned k = 0;
  for (std::size_t i = p - 1; i >= 16; i >>= 1) {
    ++k;
  }
  return {static_cast<std::size_t>(token >> (12 - k)) + 1,
          static_cast<std::size_t>(token & (0xFFFu >> k)) + 3};
}

// Decodes one compressed chunk of data into out. Returns the bytes produced, and sets ok to false
// when the chunk is malformed or out filled up, which ends the whole decompression.
std::size_t decodeChunk(Bytes data, std::span<std::uint8_t> out, bool &ok) {
  std::size_t in = 0;
  std::size_t p = 0;
  while (in < data.size()) {
    const std::uint8_t flags = data[in++];
    for (int bit = 0; bit < 8 && in < data.size(); ++bit) {
      if ((flags & (1u << bit)) == 0) {
        if (p >= out.size()) {
          ok = false;
          return p;
        }
        out[p++] = data[in++];
        continue;
      }
      if (in + 2 > data.size() || p == 0) {
        ok = false;
        return p;
      }
      const auto ref = splitToken(le16(data, in), p);
      in += 2;
      if (ref.displacement > p) {
        ok = false;
        return p;
      }
      // Byte by byte: an overlapping reference repeats the bytes it has just produced.
      const std::size_t n = std::min(ref.length, out.size() - p);
      for (std::size_t i = 0; i < n; ++i, ++p) {
        out[p] = out[p - ref.displacement];
      }
      if (n < ref.length) {
        ok = false;
        return p;
      }
    }
  }
  return p;
}

} // namespace

std::size_t lznt1Decompress(Bytes input, std::span<std::uint8_t> output) {
  std::size_t in = 0;
  std::size_t produced = 0;
  while (in + 2 <= input.size() && produced < output.size()) {
    const std::uint16_t header = le16(input, in);
    if ((header & kSizeMask) == 0) {
      break;
    }
    const std::size_t size = static_cast<std::size_t>(header & kSizeMask) + 1;
    in += 2;
    if (size > input.size() - in) {
      break;
    }
    const Bytes data = input.subspan(in, size);
    in += size;
    const std::size_t room = output.size() - produced;
    if ((header & kCompressedFlag) == 0 && size == kLznt1ChunkSize) {
      const std::size_t n = std::min(size, room);
      std::memcpy(output.data() + produced, data.data(), n);
      produced += n;
      continue;
    }
    // A chunk never produces more than 4096 bytes, which also keeps the token split in range.
    bool ok = true;
    produced += decodeChunk(data, output.subspan(produced, std::min(room, kLznt1ChunkSize)), ok);
    if (!ok) {
      break;
    }
  }
  return produced;
}

} // namespace quillon
