// exFAT directory entries: the entry record of the table and the parsing of one entry set
// (file entry, stream extension, file-name entries) from the bytes of a folder, plus the
// timestamp conversions the texts and saved files use.
#pragma once

#include "core/byte_order.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace quillon {

inline constexpr std::size_t kExFatEntrySize = 32;
inline constexpr std::uint8_t kExFatFileEntry = 0x85;
inline constexpr std::uint8_t kExFatDeletedFileEntry = 0x05;
inline constexpr std::uint8_t kExFatStreamEntry = 0xC0;
inline constexpr std::uint8_t kExFatDeletedStreamEntry = 0x40;
inline constexpr std::uint8_t kExFatNameEntry = 0xC1;
inline constexpr std::uint8_t kExFatDeletedNameEntry = 0x41;
inline constexpr std::uint8_t kExFatBitmapEntry = 0x81;
// GeneralSecondaryFlags bits.
inline constexpr std::uint8_t kExFatAllocationPossible = 0x01;
inline constexpr std::uint8_t kExFatNoFatChain = 0x02;
// A name holds at most 255 UTF-16 units, 15 to a file-name entry.
inline constexpr std::size_t kExFatMaxNameEntries = 17;
inline constexpr std::size_t kExFatNameUnitsPerEntry = 15;

// One entry set as the table keeps it.
struct ExFatEntry {
  std::uint8_t entryType = 0; // 0x85 live, 0x05 deleted
  std::uint16_t attributes = 0;
  std::uint32_t createStamp = 0;
  std::uint32_t modifyStamp = 0;
  std::uint32_t accessStamp = 0;
  std::uint8_t create10ms = 0;
  std::uint8_t modify10ms = 0;
  std::uint8_t createUtcOffset = 0;
  std::uint8_t modifyUtcOffset = 0;
  std::uint8_t accessUtcOffset = 0;
  std::uint8_t streamType = 0;     // 0xC0 or 0x40; 0 when the set had no stream extension
  std::uint8_t secondaryFlags = 0; // bit 0 allocation possible, bit 1 no FAT chain
  std::uint8_t nameLength = 0;     // UTF-16 units
  std::uint64_t validDataLength = 0;
  std::uint32_t firstCluster = 0;
  std::uint64_t dataLength = 0;
  std::string name; // UTF-8
  std::uint32_t parentIndex = 0;
  std::uint32_t selfIndex = 0;
  // Set by linkChildren; they point into the table, which must not grow afterwards.
  ExFatEntry *firstChild = nullptr;
  ExFatEntry *nextSibling = nullptr;

  [[nodiscard]] bool deleted() const { return entryType == kExFatDeletedFileEntry; }
  [[nodiscard]] bool isFolder() const;
  [[nodiscard]] bool contiguous() const { return (secondaryFlags & kExFatNoFatChain) != 0; }
};

// The attribute values the folder walk treats as folders.
[[nodiscard]] bool isExFatFolderAttributes(std::uint16_t attributes);

// True for a file entry, live or deleted.
[[nodiscard]] constexpr bool isExFatFileEntryType(std::uint8_t type) {
  return type == kExFatFileEntry || type == kExFatDeletedFileEntry;
}

// An entry set parsed from a folder's bytes.
struct ExFatEntrySet {
  ExFatEntry entry;
  bool hasStream = false;
  std::size_t entryCount = 1; // directory entries the set covers, the file entry included
};

// Parses the set whose file entry lies at offset in dir. The stream extension must follow the
// file entry directly and the file-name entries the stream extension; the set never reaches
// past dir nor past the file entry's SecondaryCount (when that is at least 1). The name is cut
// at NameLength, or at the first zero unit when the set has no stream extension. nullopt when
// no file entry lies at offset.
[[nodiscard]] std::optional<ExFatEntrySet> parseExFatEntrySet(Bytes dir, std::size_t offset);

// A 32-bit exFAT timestamp as calendar fields (as recorded; no time-zone conversion). nullopt
// when the fields do not form a date.
[[nodiscard]] std::optional<std::tm> exFatStampFields(std::uint32_t stamp);

// A timestamp with its 10-ms increment and UTC-offset byte as Unix seconds and nanoseconds.
// A stamp without a valid UTC offset is local time (TZ honoured).
struct ExFatTime {
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
};
[[nodiscard]] std::optional<ExFatTime> exFatStampToUnix(std::uint32_t stamp, std::uint8_t tenMs,
                                                        std::uint8_t utcOffset);

} // namespace quillon
