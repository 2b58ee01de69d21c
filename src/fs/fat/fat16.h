// Fat16Class: the FAT16 parser of one volume in the standard mode. It accepts the boot sector
// by its structure, reads the fixed root directory whole and walks every folder below it,
// deleted entries included, into the entry table; linking, texts and saving are shared with
// FAT32 (fat_common.h).
#pragma once

#include "fs/fat/fat_common.h"

#include <array>
#include <optional>

namespace quillon {

class Fat16Class : public fat::FatVolume {
public:
  using FatVolume::FatVolume;

  // Reads the boot sector and takes its geometry; false when it is not a FAT16 boot sector.
  bool readBootSector();
  // Reads the fixed root directory and walks it and every folder below it into entries.
  void walkRootDirectory();
  // The standard scan up to the linked table: boot sector (with its message box when it is
  // refused), walk and linking, with their status texts. False when the volume was refused.
  bool standardScan();
  // Advanced mode: chains are read from the table at the candidate offset (2 bytes for each
  // cluster the chosen geometry gives the volume), through the same cache as the boot
  // sector's table.
  void loadFatAtCandidate(std::uint64_t offset) { setTableAt(offset); }

  std::optional<std::array<std::uint8_t, 512>> bootSector;
};

} // namespace quillon
