// FileReadSeekVHD: a VHD image served as a disk. A fixed VHD is raw sectors followed by a
// 512-byte footer; a dynamic VHD keeps a footer copy at the start, a dynamic header and a block
// allocation table whose entries give the file sector of each block's bitmap, the block's data
// following the bitmap. The image is recognised by the footer cookie, whatever its name.
// Differencing images are refused: without their parent they hold only the changed blocks.
#pragma once

#include "disk/image_file.h"
#include "disk/reader.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace quillon {

class FileReadSeekVHD final : public readWriteInterface {
public:
  FileReadSeekVHD() = default;

  bool open(const std::filesystem::path &path) override;
  [[nodiscard]] std::uint64_t sectorCount() const override { return diskSize_ / kSectorSize; }
  [[nodiscard]] std::string kindText() const override;

  [[nodiscard]] bool isFixed() const { return fixed_; }
  [[nodiscard]] std::uint64_t diskSize() const { return diskSize_; }
  [[nodiscard]] std::uint32_t blockSize() const { return blockSize_; }
  [[nodiscard]] std::size_t blockTableSize() const { return blockTable_.size(); }

  static constexpr std::uint32_t kUnallocated = 0xFFFFFFFF;

protected:
  Run mapRun(std::uint64_t abs, std::uint64_t maxLength) override;

private:
  void reset();
  bool openImage(const std::filesystem::path &path);
  bool openDynamic(std::span<const std::uint8_t> footer);

  ImageFile file_;
  bool fixed_ = false;
  std::uint64_t diskSize_ = 0;
  std::uint64_t fixedDataEnd_ = 0; // fixed: where the footer starts (data ends)
  std::uint32_t blockSize_ = 0;
  std::uint64_t bitmapBytes_ = 0;
  std::vector<std::uint32_t> blockTable_; // file sector of each block's bitmap
};

} // namespace quillon
