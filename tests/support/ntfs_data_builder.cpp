// LZNT1 chunks and contents for NTFS file-data tests.
#include "support/ntfs_data_builder.h"

#include <algorithm>
#include <stdexcept>

namespace quillon::test {

namespace {

constexpr std::size_t kChunk = 4096;

// Bits of displacement / length at output position p, as the decoder splits them.
unsigned splitShift(std::size_t p) {
  unsigned k = 0;
  for (std::size_t i = p - 1; i >= 16; i >>= 1) {
    ++k;
  }
  return k;
}

void appendLe(std::vector<std::uint8_t> &out, std::uint64_t v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
}

} // namespace

void Lznt1ChunkWriter::token(bool isReference, std::uint16_t value, std::uint8_t byte) {
  if (tokens_ == 8) {
    flagAt_ = data_.size();
    data_.push_back(0);
    tokens_ = 0;
  }
  if (isReference) {
    data_[flagAt_] = static_cast<std::uint8_t>(data_[flagAt_] | (1u << tokens_));
    appendLe(data_, value, 2);
  } else {
    data_.push_back(byte);
  }
  ++tokens_;
}

void Lznt1ChunkWriter::literal(std::uint8_t byte) {
  token(false, 0, byte);
  ++position_;
}

void Lznt1ChunkWriter::literals(std::string_view text) {
  for (const char c : text) {
    literal(static_cast<std::uint8_t>(c));
  }
}

void Lznt1ChunkWriter::reference(std::size_t displacement, std::size_t length) {
  if (displacement < 1 || displacement > position_ || length < 3) {
    throw std::invalid_argument("back-reference cannot be expressed here");
  }
  const unsigned k = splitShift(position_);
  if (displacement - 1 >= (std::size_t{1} << (4 + k)) || length - 3 > (0xFFFu >> k)) {
    throw std::invalid_argument("back-reference cannot be expressed here");
  }
  token(true, static_cast<std::uint16_t>(((displacement - 1) << (12 - k)) | (length - 3)), 0);
  position_ += length;
}

std::vector<std::uint8_t> Lznt1ChunkWriter::chunk() const {
  std::vector<std::uint8_t> out;
  appendLe(out, 0xB000u | ((data_.size() - 1) & 0x0FFF), 2);
  out.insert(out.end(), data_.begin(), data_.end());
  return out;
}

std::vector<std::uint8_t> lznt1RawChunk(Bytes data4096) {
  std::vector<std::uint8_t> out;
  appendLe(out, 0x3000u | (kChunk - 1), 2);
  out.insert(out.end(), data4096.begin(), data4096.begin() + kChunk);
  return out;
}

std::vector<std::uint8_t> lznt1Compress(Bytes data) {
  std::vector<std::uint8_t> out;
  for (std::size_t at = 0; at < data.size(); at += kChunk) {
    const Bytes chunk = data.subspan(at, std::min(kChunk, data.size() - at));
    Lznt1ChunkWriter w;
    while (w.position() < chunk.size()) {
      const std::size_t p = w.position();
      std::size_t bestLength = 0;
      std::size_t bestDisplacement = 0;
      if (p > 0) {
        const unsigned k = splitShift(p);
        const std::size_t maxDisplacement = std::min(p, std::size_t{1} << (4 + k));
        const std::size_t maxLength = std::min<std::size_t>((0xFFFu >> k) + 3, chunk.size() - p);
        for (std::size_t d = 1; d <= maxDisplacement; ++d) {
          std::size_t n = 0;
          while (n < maxLength && chunk[p + n] == chunk[p - d + n]) {
            ++n;
          }
          if (n > bestLength) {
            bestLength = n;
            bestDisplacement = d;
          }
        }
      }
      if (bestLength >= 3) {
        w.reference(bestDisplacement, bestLength);
      } else {
        w.literal(chunk[p]);
      }
    }
    const auto compressed = w.chunk();
    if (chunk.size() == kChunk && compressed.size() >= kChunk + 2) {
      const auto raw = lznt1RawChunk(chunk);
      out.insert(out.end(), raw.begin(), raw.end());
    } else {
      out.insert(out.end(), compressed.begin(), compressed.end());
    }
  }
  return out;
}

std::vector<std::uint8_t> patternBytes(std::size_t n, std::uint32_t seed) {
  std::vector<std::uint8_t> out(n);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto &b : out) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

} // namespace quillon::test
