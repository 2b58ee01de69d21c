// VolumeBytes: where the carving engine and the find writer read a volume's bytes. Carving sits
// on the core layer only, so the front end binds this to its disk reader (with the reader's
// base offset at the chosen volume's start); tests and the fuzz target use MemoryBytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace quillon {

class VolumeBytes {
public:
  virtual ~VolumeBytes() = default;
  // Fills out with the bytes at the volume-relative offset. Bytes that cannot be read are
  // zeros; returns false when any could not be read. Called by one thread at a time.
  virtual bool read(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
};

// A volume held in memory; bytes past its end read as zeros.
class MemoryBytes final : public VolumeBytes {
public:
  explicit MemoryBytes(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  bool read(std::uint64_t offset, std::span<std::uint8_t> out) override {
    ++reads_;
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    if (offset >= bytes_.size()) {
      return true;
    }
    const std::size_t n =
        std::min<std::size_t>(out.size(), bytes_.size() - static_cast<std::size_t>(offset));
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), n, out.begin());
    return true;
  }

  [[nodiscard]] std::vector<std::uint8_t> &bytes() { return bytes_; }
  // Read requests served so far (a test sees that the engine reads in large pieces).
  [[nodiscard]] std::uint64_t reads() const { return reads_; }

private:
  std::vector<std::uint8_t> bytes_;
  std::uint64_t reads_ = 0;
};

} // namespace quillon
