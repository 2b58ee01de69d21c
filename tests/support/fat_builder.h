// FatBuilder: small FAT16 and FAT32 volumes in memory for the parser tests: boot sector, both
// allocation tables, the root directory, folder and file clusters, 8.3 slots, long-name slots
// with their checksums and deleted slots.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::test {

using FatSlot = std::array<std::uint8_t, 32>;

// "FOO.TXT" -> "FOO     TXT"; a name without a dot fills the base only.
[[nodiscard]] std::string fatPadded(std::string_view name);

// An 8.3 slot; name is given as fatPadded takes it.
[[nodiscard]] FatSlot fatShortSlot(std::string_view name, std::uint8_t attributes,
                                   std::uint32_t cluster, std::uint32_t size,
                                   std::uint16_t writeDate = 0x5A8C,  // 2025-04-12
                                   std::uint16_t writeTime = 0x7A3C); // 15:17:56
// The long-name slots of name for the short slot, in disk order (last piece first).
[[nodiscard]] std::vector<FatSlot> fatLongSlots(std::u16string_view name, const FatSlot &shortSlot);
// Long-name slots followed by the short slot.
[[nodiscard]] std::vector<FatSlot> fatNamedSlots(std::u16string_view longName,
                                                 const FatSlot &shortSlot);
// Marks every slot deleted (byte 0 = 0xE5).
void fatDelete(std::vector<FatSlot> &slots);

class FatBuilder {
public:
  // A volume of clusterCount data clusters of one 512-byte sector each.
  FatBuilder(bool fat32, std::uint32_t clusterCount = 256, std::uint16_t rootEntries = 512);

  [[nodiscard]] std::uint32_t endMark() const { return fat32_ ? 0x0FFFFFFF : 0xFFFF; }
  [[nodiscard]] std::uint64_t clusterOffset(std::uint32_t c) const;
  [[nodiscard]] std::uint32_t clusterSize() const { return 512; }

  // Sets the table value of cluster c in both tables.
  void setFat(std::uint32_t c, std::uint32_t value);
  // Links the clusters in order, ending with the end mark, and writes data across them.
  void writeChain(const std::vector<std::uint32_t> &clusters,
                  const std::vector<std::uint8_t> &data);
  // The root directory: FAT16's fixed area, or FAT32's root chain (starting at cluster 2).
  void writeRoot(const std::vector<FatSlot> &slots, std::vector<std::uint32_t> chain = {2});
  // A folder in the given clusters: "." and ".." first (self = clusters[0]), then the slots.
  void writeFolder(const std::vector<std::uint32_t> &clusters, std::uint32_t parent,
                   const std::vector<FatSlot> &slots);

  std::vector<std::uint8_t> image;

private:
  bool fat32_;
  std::uint32_t tableSectors_ = 0;
  std::uint32_t reserved_ = 0;
  std::uint64_t rootOffset_ = 0;
  std::uint64_t dataStart_ = 0;
};

[[nodiscard]] std::vector<std::uint8_t> fatSlotBytes(const std::vector<FatSlot> &slots);

} // namespace quillon::test
