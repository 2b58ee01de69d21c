// Boot-sector, HFS+ header and ext superblock recognition for volume discovery.
#include "volumes/boot_sector.h"

#include <bit>
#include <limits>
#include <optional>

namespace quillon {
namespace {

constexpr std::size_t kJumpOffset = 0;
constexpr std::size_t kJumpTargetOffset = 1;
constexpr std::size_t kOemNameOffset = 3;
constexpr std::size_t kBytesPerSectorOffset = 11;
constexpr std::size_t kSectorsPerClusterOffset = 13;
constexpr std::size_t kReservedSectorsOffset = 14;
constexpr std::size_t kFatCountOffset = 16;
constexpr std::size_t kRootEntriesOffset = 17;
constexpr std::size_t kTotalSectors16Offset = 19;
constexpr std::size_t kSectorsPerFat16Offset = 22;
constexpr std::size_t kTotalSectors32Offset = 32;
constexpr std::size_t kNtfsTotalSectorsOffset = 40;
constexpr std::size_t kFat16TypeTextOffset = 54;
constexpr std::size_t kExFatVolumeLengthOffset = 72;
constexpr std::size_t kFat32TypeTextOffset = 82;
constexpr std::size_t kExFatSectorShiftOffset = 108;
constexpr std::size_t kSignatureOffset = 510;

constexpr std::size_t kHfsBlockSizeOffset = 40;
constexpr std::size_t kHfsTotalBlocksOffset = 44;

constexpr std::size_t kExtMagicOffset = 1024 + 56;
constexpr std::uint16_t kExtMagic = 0xEF53;

constexpr std::uint8_t kJumpShort = 0xEB;
constexpr std::uint8_t kNtfsJumpTarget = 0x52;
constexpr std::uint16_t kBootSignature = 0xAA55;
constexpr std::uint16_t kSectorBytes = 512;
constexpr std::uint16_t kMaxSectorBytes = 4096;
// Fewer clusters than this make a FAT12 volume.
constexpr std::uint64_t kFat12ClusterLimit = 4085;

bool isFatFamilyJump(Bytes s) {
  const std::uint8_t target = u8(s, kJumpTargetOffset);
  return u8(s, kJumpOffset) == kJumpShort && (target == 0x3C || target == 0x58 || target == 0x76);
}

// Multiplies without wrapping: a size that does not fit saturates, so it stays "huge".
std::uint64_t saturatingMul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return a * b;
}

std::uint32_t fatTotalSectors(Bytes s) {
  // The 16-bit count is unsigned (mkfs.fat writes up to 65535 there); 0 means "use the 32-bit".
  const std::uint16_t total16 = le16(s, kTotalSectors16Offset);
  return total16 != 0 ? total16 : le32(s, kTotalSectors32Offset);
}

// Bytes per sector as a multiple of 512 when the BPB gives a usable value, else 1.
std::uint64_t sectorScale(Bytes s) {
  const std::uint16_t bps = le16(s, kBytesPerSectorOffset);
  if (std::has_single_bit(bps) && bps >= kSectorBytes && bps <= kMaxSectorBytes) {
    return bps / kSectorBytes;
  }
  return 1;
}

// Data clusters of a FAT12/FAT16 volume, or nothing when the layout does not fit its size.
std::optional<std::uint64_t> fat16ClusterCount(Bytes s) {
  const std::uint64_t bps = le16(s, kBytesPerSectorOffset);
  const std::uint64_t rootSectors = (le16(s, kRootEntriesOffset) * 32ULL + bps - 1) / bps;
  const std::uint64_t overhead =
      le16(s, kReservedSectorsOffset) +
      u8(s, kFatCountOffset) * std::uint64_t{le16(s, kSectorsPerFat16Offset)} + rootSectors;
  const std::uint64_t total = fatTotalSectors(s);
  if (total <= overhead) {
    return std::nullopt;
  }
  return (total - overhead) / u8(s, kSectorsPerClusterOffset);
}

BootSectorInfo classifyFat(Bytes s, FatSizeRule rule) {
  const bool validBpb = hasValidFatBpb(s);
  if (!hasBytes(s, kOemNameOffset, "MSDO") && !validBpb) {
    return {};
  }
  const std::uint64_t scale = sectorScale(s);
  const std::uint16_t fatSize16 = le16(s, kSectorsPerFat16Offset);
  if (fatSize16 == 0) {
    return {BootKind::Fat32, le32(s, kTotalSectors32Offset) * scale};
  }
  if (validBpb) {
    if (const auto clusters = fat16ClusterCount(s)) {
      const BootKind kind = *clusters < kFat12ClusterLimit ? BootKind::Fat12 : BootKind::Fat16;
      return {kind, fatTotalSectors(s) * scale};
    }
  }
  const bool knownSize =
      fatSize16 == 200 || fatSize16 == 256 || (rule == FatSizeRule::Scan && fatSize16 == 128);
  if (knownSize) {
    return {BootKind::Fat16, fatTotalSectors(s) * scale};
  }
  return {BootKind::FatUnknown, 0};
}

} // namespace

bool hasValidFatBpb(Bytes s) {
  const std::uint16_t bps = le16(s, kBytesPerSectorOffset);
  if (!std::has_single_bit(bps) || bps < kSectorBytes || bps > kMaxSectorBytes) {
    return false;
  }
  if (!std::has_single_bit(u8(s, kSectorsPerClusterOffset)) ||
      le16(s, kReservedSectorsOffset) < 1) {
    return false;
  }
  const std::uint8_t fats = u8(s, kFatCountOffset);
  if (fats != 1 && fats != 2) {
    return false;
  }
  return le16(s, kSignatureOffset) == kBootSignature || hasBytes(s, kFat16TypeTextOffset, "FAT") ||
         hasBytes(s, kFat32TypeTextOffset, "FAT");
}

bool isExFatBootSector(Bytes s) {
  return isFatFamilyJump(s) && hasBytes(s, kOemNameOffset, "EXFA");
}

BootSectorInfo classifyBootSector(Bytes s, FatSizeRule rule, bool requireNtfsName) {
  if (u8(s, kJumpOffset) == kJumpShort && u8(s, kJumpTargetOffset) == kNtfsJumpTarget &&
      le16(s, kBytesPerSectorOffset) == kSectorBytes &&
      (!requireNtfsName || hasBytes(s, kOemNameOffset, "NTFS"))) {
    return {BootKind::Ntfs, le64(s, kNtfsTotalSectorsOffset)};
  }
  if (!isFatFamilyJump(s)) {
    return {};
  }
  if (hasBytes(s, kOemNameOffset, "EXFA")) {
    // The volume length counts sectors of the size the boot sector gives (2^9 to 2^12 bytes).
    const std::uint8_t shift = u8(s, kExFatSectorShiftOffset);
    const std::uint64_t scale = shift >= 9 && shift <= 12 ? 1ULL << (shift - 9) : 1;
    return {BootKind::ExFat, saturatingMul(le64(s, kExFatVolumeLengthOffset), scale)};
  }
  return classifyFat(s, rule);
}

bool isHfsPlusHeader(Bytes h) { return hasBytes(h, 0, "H+") && h.size() > 2 && h[2] == 0; }

std::uint64_t hfsPlusSectors(Bytes h) {
  return std::uint64_t{be32(h, kHfsBlockSizeOffset)} * be32(h, kHfsTotalBlocksOffset) /
         kSectorBytes;
}

bool hasExtSuperblock(Bytes volumeStart) { return le16(volumeStart, kExtMagicOffset) == kExtMagic; }

std::string_view bootKindName(BootKind kind) {
  switch (kind) {
  case BootKind::Ntfs:
    return "NTFS";
  case BootKind::Fat12:
    return "FAT12";
  case BootKind::Fat16:
    return "FAT16";
  case BootKind::Fat32:
    return "FAT32";
  case BootKind::FatUnknown:
    return "UNKNOWN";
  case BootKind::ExFat:
    return "FAT64";
  case BootKind::None:
    break;
  }
  return {};
}

std::string_view fatStatusText(BootKind kind) {
  switch (kind) {
  case BootKind::Fat12:
    return "found FAT 12...";
  case BootKind::Fat16:
    return "found FAT 16...";
  case BootKind::Fat32:
    return "found FAT 32...";
  case BootKind::FatUnknown:
    return "found unknown...";
  case BootKind::ExFat:
    return "found FAT 64...";
  case BootKind::Ntfs:
  case BootKind::None:
    break;
  }
  return {};
}

} // namespace quillon
