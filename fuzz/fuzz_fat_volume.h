// Shared by the FAT16 and FAT32 fuzz targets: the input's first byte chooses the mode (bit 0:
// the drive counts as formatted; bit 1: advanced mode; bits 2-4: the advanced cluster size as
// a power of two in sectors), the rest (capped at 8 MiB, padded to whole sectors) is the
// volume. The volume is scanned, every record is listed through the browse adapter and the
// first few files are saved into a private folder.
#pragma once

#include "browse/fat_browser.h"
#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/memory_reader.h"
#include "fuzz_browse_support.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace quillon::fuzz {

template <typename Parser> int fuzzFatVolume(const std::uint8_t *data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  constexpr std::size_t kMaxVolumeBytes = 8 << 20;
  const std::uint8_t choice = data[0];
  std::vector<std::uint8_t> bytes(data + 1, data + std::min(size, kMaxVolumeBytes));
  bytes.resize((bytes.size() + 511) / 512 * 512);
  MemoryReader reader(std::move(bytes));
  NullProgress progress;
  WorkerControl control;
  Parser fat(reader, progress, control, {"FAT", "", "0", "8  MB", 0});
  fat.driveFormatted = (choice & 0x01) != 0;
  bool scanned = false;
  if ((choice & 0x02) != 0) {
    (void)fat.readBootSector();
    (void)fat.findFatCandidates(3);
    scanned = fat.advancedScan(0, 1U << ((choice >> 2) & 0x07));
  } else {
    scanned = fat.standardScan();
  }
  if (scanned) {
    FatBrowser browser(fat);
    browseAndSave(browser);
  }
  return 0;
}

} // namespace quillon::fuzz
