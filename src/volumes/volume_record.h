// VolumeRecord: one volume found on the disk, as the volume list shows it and as every later
// step receives it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon {

struct VolumeRecord {
  std::string fsType;         // "NTFS", "FAT16", "FAT32", "FAT64" (exFAT), "extX", "HFS+", ...
  std::string note;           // left empty by discovery
  std::string number;         // decimal 0-based position in the list
  std::string volumeSizeText; // size as the list shows it (whole MiB)
  std::uint64_t startSector = 0;
};

// Whole MiB from a volumeSizeText such as "100   MB" or "2047" (leading decimal digits).
[[nodiscard]] std::uint64_t volumeSizeMiB(const std::string &volumeSizeText);

// One JSON object for the command line's --json output.
[[nodiscard]] std::string volumeJson(const VolumeRecord &record);

} // namespace quillon
