// Recognises the first sectors of a volume: the NTFS, FAT12/FAT16/FAT32 and exFAT boot sectors,
// the HFS+ volume header and the ext superblock (both 1024 bytes into their volumes). The
// partition-table walk and the boot-sector scan share these tests so that they type a volume
// the same way.
#pragma once

#include "core/byte_order.h"

#include <cstdint>
#include <string_view>

namespace quillon {

inline constexpr std::uint64_t kSectorsPerMiB = 2048;

enum class BootKind { None, Ntfs, Fat12, Fat16, Fat32, FatUnknown, ExFat };

// Boot sectors of the FAT family whose BPB does not hold together are still typed FAT16 by their
// sectors-per-FAT value, as older releases did. The partition walk knew the values 200 and 256;
// the scan also knows 128.
enum class FatSizeRule { Walk, Scan };

struct BootSectorInfo {
  BootKind kind = BootKind::None;
  // Volume size in 512-byte sectors, saturated rather than wrapped when the fields are absurd.
  std::uint64_t sectors = 0;
  [[nodiscard]] std::uint64_t sizeMiB() const { return sectors / kSectorsPerMiB; }
};

// Types one boot sector. The scan also wants the "NTFS" OEM name, which the walk does not check.
[[nodiscard]] BootSectorInfo classifyBootSector(Bytes sector, FatSizeRule rule,
                                                bool requireNtfsName);

// True for an exFAT boot sector (jump 0xEB 0x3C/0x58/0x76 and the "EXFA" name).
[[nodiscard]] bool isExFatBootSector(Bytes sector);

// True when the bytes per sector, sectors per cluster, reserved sectors and FAT count are
// plausible and the sector carries the 0x55AA signature or a "FAT" type text.
[[nodiscard]] bool hasValidFatBpb(Bytes sector);

// The HFS+ volume header ("H+" with a zero version high byte) and its size in 512-byte sectors
// (block size × total blocks).
[[nodiscard]] bool isHfsPlusHeader(Bytes header);
[[nodiscard]] std::uint64_t hfsPlusSectors(Bytes header);

// True when the bytes from a volume's start hold the ext superblock magic at byte 1080.
[[nodiscard]] bool hasExtSuperblock(Bytes volumeStart);

// "NTFS", "FAT12", "FAT16", "FAT32", "UNKNOWN", "FAT64"; empty for None.
[[nodiscard]] std::string_view bootKindName(BootKind kind);
// The status text of a FAT-family or exFAT hit ("found FAT 16...", "found unknown...", ...).
[[nodiscard]] std::string_view fatStatusText(BootKind kind);

} // namespace quillon
