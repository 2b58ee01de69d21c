// ExFatBuilder: small exFAT volumes in memory for the exFAT tests. The volume has 512-byte
// sectors, one allocation table and a cluster heap; data and folders are stored through the
// table's chains or as contiguous runs, and entry sets are built with their set checksum.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillon::test {

// A 32-bit exFAT timestamp from calendar fields (seconds are stored in 2-second steps).
std::uint32_t exFatStamp(int year, int month, int day, int hour, int minute, int second);

// One entry set: file entry, stream extension and file-name entries.
struct ExFatSetLayout {
  std::u16string name;
  std::uint16_t attributes = 0x20;
  bool deleted = false;      // 0x05 / 0x40 / 0x41 instead of 0x85 / 0xC0 / 0xC1
  std::uint8_t flags = 0x01; // GeneralSecondaryFlags
  std::uint32_t firstCluster = 0;
  std::uint64_t validDataLength = 0;
  std::uint64_t dataLength = 0;
  std::optional<std::uint8_t> nameLength; // default: the name's length
  std::optional<std::size_t> nameEntries; // default: as many as the name needs
  bool withStream = true;
  std::uint32_t createStamp = 0;
  std::uint32_t modifyStamp = 0;
  std::uint32_t accessStamp = 0;
  std::uint8_t modify10ms = 0;
  std::uint8_t modifyUtcOffset = 0;
  std::uint8_t accessUtcOffset = 0;
};

// The bytes of an entry set (32 bytes per entry) with SecondaryCount and the set checksum.
std::vector<std::uint8_t> exFatEntrySet(const ExFatSetLayout &layout);
// The allocation-bitmap and up-case entries a root directory starts with.
std::vector<std::uint8_t> exFatRootHeader();
// A volume-label entry.
std::vector<std::uint8_t> exFatLabelEntry(const std::u16string &label);

class ExFatBuilder {
public:
  // clusterShift: sectors per cluster as a power of two.
  explicit ExFatBuilder(std::uint32_t clusterCount = 128, unsigned clusterShift = 0);

  [[nodiscard]] std::uint64_t clusterSize() const { return clusterSize_; }
  [[nodiscard]] std::uint32_t clusterCount() const { return clusterCount_; }

  // Stores data in newly taken clusters (at least one) and returns the first. Chained clusters
  // are linked in the table; with gap set, one free cluster is left between them (a fragmented
  // chain). Contiguous clusters are not linked.
  std::uint32_t store(const std::vector<std::uint8_t> &data, bool contiguous = false,
                      bool gap = false);
  // Stores a root directory and points the boot sector at it; returns its cluster.
  std::uint32_t setRoot(const std::vector<std::uint8_t> &entries);
  // The entries a formatter puts first in the root: the volume label, the allocation bitmap
  // (cluster 2; its first byte marks three clusters used, so it does not start with 0xFF bytes)
  // and the up-case table, stored in a new cluster as an identity table of 128 units with its
  // checksum in the entry.
  std::vector<std::uint8_t> systemEntries(const std::u16string &label = u"LABEL");
  // Copies the boot sector to sector 12, where the backup boot sector lies.
  void writeBackupBootSector();
  void setFat(std::uint32_t cluster, std::uint32_t value);
  void setBootField(std::size_t offset, std::uint64_t value, std::size_t width);
  // Overwrites bytes of the volume (for a folder that names its own cluster).
  void writeAt(std::uint64_t offset, const std::vector<std::uint8_t> &bytes);

  [[nodiscard]] std::uint64_t clusterOffset(std::uint32_t cluster) const;
  [[nodiscard]] std::uint64_t heapOffset() const { return heapOffset_; }
  [[nodiscard]] std::uint64_t fatOffset() const { return fatOffset_; }
  [[nodiscard]] const std::vector<std::uint8_t> &image() const { return image_; }

private:
  std::uint32_t clusterCount_;
  std::uint64_t clusterSize_;
  std::uint64_t fatOffset_;
  std::uint64_t heapOffset_;
  std::uint32_t nextFree_ = 2;
  std::vector<std::uint8_t> image_;
};

} // namespace quillon::test
