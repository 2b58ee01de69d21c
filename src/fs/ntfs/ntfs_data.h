// Internal pieces of saving NTFS file data: the description of a record's unnamed $DATA
// attribute and the entries of an $ATTRIBUTE_LIST. ntfs_data.cpp uses them; tests check them.
#pragma once

#include "fs/ntfs/ntfs_record.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillon::ntfs_data {

// The unnamed $DATA attribute as the save needs it.
struct DataAttributeInfo {
  // Non-resident: run-list offset within the record; resident: value offset from the record start.
  std::uint64_t dataOffset = 0;
  // Non-resident: run-list bytes; resident: value length.
  std::uint64_t dataLength = 0;
  std::uint16_t compressionUnit = 0; // log2 of clusters per compression unit
  std::uint64_t firstVcn = 0;
  std::uint64_t lastVcn = 0;
  char residency = 0;             // 'N' non-resident, 'R' resident, 0 when there is no $DATA
  const char *kindText = nullptr; // "Compressed", "Encrypted", "Normal" or null (e.g. sparse)
  std::uint16_t flags = 0;        // attribute flags
  std::uint64_t allocatedSize = 0;
  std::uint64_t realSize = 0; // resident: the value length

  [[nodiscard]] bool compressed() const {
    return residency == 'N' && (flags & kCompressionMask) != 0;
  }
  [[nodiscard]] bool encrypted() const { return (flags & ntfs_record::kAttrEncrypted) != 0; }

  // Any compression method bit; compressed and sparse may both be set on one attribute.
  static constexpr std::uint16_t kCompressionMask = 0x00FF;
};

// Description of one $DATA attribute.
[[nodiscard]] DataAttributeInfo dataAttributeInfo(const ntfs_record::Attribute &attribute);

// The first unnamed $DATA attribute of a record (named ones are alternate data streams).
[[nodiscard]] const ntfs_record::Attribute *
unnamedData(std::span<const ntfs_record::Attribute> attributes);

// One entry of an $ATTRIBUTE_LIST value.
struct ListEntry {
  std::uint32_t type = 0;
  std::uint64_t startVcn = 0;
  std::uint64_t recordNumber = 0; // low 48 bits of the file reference
  std::uint16_t attributeId = 0;
  bool named = false;
};

// Every entry of an $ATTRIBUTE_LIST value, in order. The walk ends at an entry shorter than the
// fixed part (26 bytes) or one that runs past the list.
[[nodiscard]] std::vector<ListEntry> attributeListEntries(Bytes list);

// The list entries of the unnamed $DATA.
[[nodiscard]] std::vector<ListEntry> unnamedDataEntries(Bytes list);

} // namespace quillon::ntfs_data
