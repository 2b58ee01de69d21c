// Fat32Class: the FAT32 parser of one volume in the standard mode. The boot sector is accepted
// by its structure; the root directory starts at the boot sector's root cluster and follows its
// chain; every folder below is walked, deleted entries included. Linking, texts and saving are
// shared with FAT16 (fat_common.h).
#pragma once

#include "fs/fat/fat_common.h"

#include <array>
#include <optional>

namespace quillon {

class Fat32Class : public fat::FatVolume {
public:
  Fat32Class(readWriteInterface &reader, Progress &progress, WorkerControl &control,
             VolumeRecord volume);

  // Reads the boot sector and takes its geometry; false when it is not a FAT32 boot sector.
  bool readBootSector();
  // Reads the root directory through its chain and walks it and every folder below it.
  void walkRootDirectory();
  // The standard scan up to the linked table, with its status texts and message box.
  bool standardScan();

  std::optional<std::array<std::uint8_t, 512>> bootSector;
};

} // namespace quillon
