// FileReadSeekVdi: a VDI image served as a disk. The header gives the disk size, the block size
// and where the block map and the data area lie; each map entry is the index of the block in
// the data area (blocks are block size plus the per-block extra data apart), or a marker for a
// free or zeroed block, both of which read as zeros. Dynamic and fixed images share this layout.
#pragma once

#include "disk/image_file.h"
#include "disk/reader.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillon {

class FileReadSeekVdi final : public readWriteInterface {
public:
  FileReadSeekVdi() = default;

  bool open(const std::filesystem::path &path) override;
  [[nodiscard]] std::uint64_t sectorCount() const override { return diskSize_ / kSectorSize; }
  [[nodiscard]] std::string kindText() const override;

  [[nodiscard]] bool isFixed() const { return fixed_; }
  [[nodiscard]] std::uint64_t diskSize() const { return diskSize_; }
  [[nodiscard]] std::uint32_t blockSize() const { return blockSize_; }
  [[nodiscard]] std::size_t blockCount() const { return blockMap_.size(); }

  static constexpr std::uint32_t kBlockFree = 0xFFFFFFFF;
  static constexpr std::uint32_t kBlockZero = 0xFFFFFFFE;

protected:
  Run mapRun(std::uint64_t abs, std::uint64_t maxLength) override;

private:
  void reset();
  bool openImage(const std::filesystem::path &path);
  // File offset of block b's data, or nullopt when the block stores nothing readable (free,
  // zeroed, beyond the map or beyond the end of the file).
  [[nodiscard]] std::optional<std::uint64_t> blockStart(std::uint64_t b) const;

  ImageFile file_;
  bool fixed_ = false;
  std::uint64_t diskSize_ = 0;
  std::uint32_t blockSize_ = 0;
  std::uint32_t extraBytes_ = 0; // per-block extra data before each block's sectors
  std::uint64_t dataOffset_ = 0;
  std::vector<std::uint32_t> blockMap_;
};

} // namespace quillon
