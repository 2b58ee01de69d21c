// exFAT entry sets: what a file entry, its stream extension and its file-name entries give the
// table record, and the conversion of exFAT timestamps.
#include "fs/fat/exfat_entries.h"

#include "core/text_convert.h"

#include <algorithm>
#include <vector>

namespace quillon {
namespace {

// File entry fields.
constexpr std::size_t kSecondaryCountOffset = 1;
constexpr std::size_t kAttributesOffset = 4;
constexpr std::size_t kCreateStampOffset = 8;
constexpr std::size_t kModifyStampOffset = 12;
constexpr std::size_t kAccessStampOffset = 16;
constexpr std::size_t kCreate10msOffset = 20;
constexpr std::size_t kModify10msOffset = 21;
constexpr std::size_t kCreateUtcOffset = 22;
constexpr std::size_t kModifyUtcOffset = 23;
constexpr std::size_t kAccessUtcOffset = 24;
// Stream extension fields.
constexpr std::size_t kFlagsOffset = 1;
constexpr std::size_t kNameLengthOffset = 3;
constexpr std::size_t kValidDataLengthOffset = 8;
constexpr std::size_t kFirstClusterOffset = 20;
constexpr std::size_t kDataLengthOffset = 24;
// File-name entry: 15 UTF-16 units from byte 2.
constexpr std::size_t kNameUnitsOffset = 2;

} // namespace

bool isExFatFolderAttributes(std::uint16_t attributes) {
  switch (attributes) {
  case 0x10:
  case 0x11:
  case 0x12:
  case 0x13:
  case 0x14:
  case 0x15:
  case 0x16:
  case 0x30:
    return true;
  default:
    return false;
  }
}

bool ExFatEntry::isFolder() const { return isExFatFolderAttributes(attributes); }

std::optional<ExFatEntrySet> parseExFatEntrySet(Bytes dir, std::size_t offset) {
  if (offset > dir.size() || dir.size() - offset < kExFatEntrySize ||
      !isExFatFileEntryType(dir[offset])) {
    return std::nullopt;
  }
  const Bytes file = dir.subspan(offset, kExFatEntrySize);
  ExFatEntrySet set;
  ExFatEntry &e = set.entry;
  e.entryType = file[0];
  e.attributes = le16(file, kAttributesOffset);
  e.createStamp = le32(file, kCreateStampOffset);
  e.modifyStamp = le32(file, kModifyStampOffset);
  e.accessStamp = le32(file, kAccessStampOffset);
  e.create10ms = u8(file, kCreate10msOffset);
  e.modify10ms = u8(file, kModify10msOffset);
  e.createUtcOffset = u8(file, kCreateUtcOffset);
  e.modifyUtcOffset = u8(file, kModifyUtcOffset);
  e.accessUtcOffset = u8(file, kAccessUtcOffset);

  // Secondary entries the set may take: what the folder still holds, and no more than the
  // file entry declares when it declares any.
  std::size_t limit = (dir.size() - offset) / kExFatEntrySize - 1;
  const std::size_t declared = u8(file, kSecondaryCountOffset);
  if (declared >= 1) {
    limit = std::min(limit, declared);
  }
  std::size_t taken = 0;
  const auto entryAt = [&](std::size_t index) {
    return dir.subspan(offset + (index + 1) * kExFatEntrySize, kExFatEntrySize);
  };
  if (taken < limit) {
    const Bytes stream = entryAt(taken);
    if (stream[0] == kExFatStreamEntry || stream[0] == kExFatDeletedStreamEntry) {
      set.hasStream = true;
      e.streamType = stream[0];
      e.secondaryFlags = u8(stream, kFlagsOffset);
      e.nameLength = u8(stream, kNameLengthOffset);
      e.validDataLength = le64(stream, kValidDataLengthOffset);
      e.firstCluster = le32(stream, kFirstClusterOffset);
      e.dataLength = le64(stream, kDataLengthOffset);
      ++taken;
    }
  }
  std::vector<std::uint8_t> units;
  std::size_t nameEntries = 0;
  while (taken < limit && nameEntries < kExFatMaxNameEntries) {
    const Bytes piece = entryAt(taken);
    if (piece[0] != kExFatNameEntry && piece[0] != kExFatDeletedNameEntry) {
      break;
    }
    units.insert(units.end(), piece.begin() + kNameUnitsOffset, piece.end());
    ++taken;
    ++nameEntries;
  }
  std::size_t unitCount = units.size() / 2;
  if (set.hasStream && e.nameLength > 0) {
    unitCount = std::min<std::size_t>(unitCount, e.nameLength);
  } else {
    for (std::size_t i = 0; i < unitCount; ++i) {
      if (units[2 * i] == 0 && units[2 * i + 1] == 0) {
        unitCount = i;
        break;
      }
    }
  }
  e.name = utf16leToUtf8(Bytes(units).first(unitCount * 2));
  set.entryCount = 1 + taken;
  return set;
}

std::optional<std::tm> exFatStampFields(std::uint32_t stamp) {
  std::tm t{};
  t.tm_sec = static_cast<int>(stamp & 0x1F) * 2;
  t.tm_min = static_cast<int>((stamp >> 5) & 0x3F);
  t.tm_hour = static_cast<int>((stamp >> 11) & 0x1F);
  t.tm_mday = static_cast<int>((stamp >> 16) & 0x1F);
  t.tm_mon = static_cast<int>((stamp >> 21) & 0x0F) - 1;
  t.tm_year = static_cast<int>((stamp >> 25) & 0x7F) + 80;
  if (t.tm_mday < 1 || t.tm_mon < 0 || t.tm_mon > 11 || t.tm_hour > 23 || t.tm_min > 59 ||
      t.tm_sec > 59) {
    return std::nullopt;
  }
  return t;
}

std::optional<ExFatTime> exFatStampToUnix(std::uint32_t stamp, std::uint8_t tenMs,
                                          std::uint8_t utcOffset) {
  std::optional<std::tm> fields = exFatStampFields(stamp);
  if (!fields) {
    return std::nullopt;
  }
  std::int64_t seconds = 0;
  if ((utcOffset & 0x80) != 0) {
    // Low seven bits: a signed count of 15-minute steps east of UTC.
    int steps = utcOffset & 0x7F;
    if (steps >= 0x40) {
      steps -= 0x80;
    }
    seconds = static_cast<std::int64_t>(timegm(&*fields)) - static_cast<std::int64_t>(steps) * 900;
  } else {
    fields->tm_isdst = -1;
    const std::time_t local = mktime(&*fields);
    if (local == static_cast<std::time_t>(-1)) {
      return std::nullopt;
    }
    seconds = local;
  }
  const unsigned extra = tenMs <= 199 ? tenMs : 0;
  ExFatTime t;
  t.seconds = seconds + extra / 100;
  t.nanoseconds = (extra % 100) * 10'000'000U;
  return t;
}

} // namespace quillon
