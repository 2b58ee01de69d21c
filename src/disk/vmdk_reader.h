// FileReadSeekVmdk: one VMDK extent file served as a disk. A sparse extent ("KDMV" header) is
// mapped through its grain directory and grain tables, including stream-optimized extents
// whose grains are deflate-compressed and whose directory sits in the footer. A flat extent is
// raw sectors from an offset. Grain tables are cached, so sequential reads cost one table read
// per table, and adjacent grains that lie one after another in the file are read in one go.
#pragma once

#include "disk/image_file.h"
#include "disk/reader.h"
#include "disk/vmdk_descriptor.h"

#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillon {

class FileReadSeekVmdkSplit;

class FileReadSeekVmdk final : public readWriteInterface {
public:
  FileReadSeekVmdk() = default;

  // Without the "KDMV" magic the file is served as a flat extent unless extentType says
  // "SPARSE", in which case open refuses it.
  bool open(const std::filesystem::path &path) override;
  [[nodiscard]] std::uint64_t sectorCount() const override { return sectors_; }
  [[nodiscard]] std::string kindText() const override;

  std::string extentType;          // "SPARSE" or "FLAT" as the user chose, or from the descriptor
  std::vector<VmdkExtent> extents; // embedded descriptor's extent lines, or the one the split
                                   // reader puts in before open
  VmdkDescriptorInfo descriptorInfo;

  [[nodiscard]] bool isSparse() const { return sparse_; }
  [[nodiscard]] bool isCompressed() const { return compressed_; }
  [[nodiscard]] std::uint64_t capacity() const { return capacity_; }
  [[nodiscard]] std::uint64_t grainSize() const { return grainSize_; }
  [[nodiscard]] std::uint32_t numGTEsPerGT() const { return numGTEsPerGT_; }
  [[nodiscard]] std::size_t grainDirectorySize() const { return grainDirectory_.size(); }

protected:
  Run mapRun(std::uint64_t abs, std::uint64_t maxLength) override;

private:
  friend class FileReadSeekVmdkSplit;

  bool openSparse(std::span<const std::uint8_t> header);
  // The grain table of directory entry gdIndex; null when it could not be read.
  const std::vector<std::uint32_t> *grainTable(std::uint64_t gdIndex);
  // Decompresses the grain whose marker starts at file sector grainSector; null on failure.
  const std::uint8_t *compressedGrain(std::uint64_t grainSector);

  ImageFile file_;
  bool sparse_ = false;
  bool zeroExtent_ = false;
  bool compressed_ = false;
  std::uint64_t sectors_ = 0;
  std::uint64_t flatOffsetBytes_ = 0;

  std::uint64_t capacity_ = 0;
  std::uint64_t grainSize_ = 0; // sectors
  std::uint32_t numGTEsPerGT_ = 0;
  std::uint64_t gtSpan_ = 0; // sectors covered by one grain table
  std::vector<std::uint32_t> grainDirectory_;

  // Least-recently-used cache of grain tables, keyed by directory index.
  static constexpr std::size_t kCachedTables = 64;
  std::list<std::uint64_t> tableOrder_;
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> tables_;

  std::uint64_t cachedGrainSector_ = 0; // 0: none
  std::vector<std::uint8_t> grainBuffer_;
  std::vector<std::uint8_t> compressedBuffer_;
};

} // namespace quillon
