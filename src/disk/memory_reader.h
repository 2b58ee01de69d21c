// MemoryReader: a disk held in memory. Tests and fuzz targets read built images through it,
// so they exercise the same read loop as the file readers.
#pragma once

#include "disk/reader.h"

#include <cstdint>
#include <vector>

namespace quillon {

class MemoryReader final : public readWriteInterface {
public:
  MemoryReader() = default;
  explicit MemoryReader(std::vector<std::uint8_t> disk) : disk_(std::move(disk)) {
    imageSize = disk_.size();
  }

  bool open(const std::filesystem::path &) override { return true; }
  [[nodiscard]] std::uint64_t sectorCount() const override { return disk_.size() / kSectorSize; }
  [[nodiscard]] std::string kindText() const override { return "memory"; }

  std::vector<std::uint8_t> &disk() { return disk_; }

protected:
  Run mapRun(std::uint64_t abs, std::uint64_t maxLength) override {
    Run r;
    r.kind = Run::Kind::Memory;
    r.memory = disk_.data() + abs;
    r.length = std::min<std::uint64_t>(maxLength, disk_.size() - abs);
    return r;
  }

private:
  std::vector<std::uint8_t> disk_;
};

} // namespace quillon
