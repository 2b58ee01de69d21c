// Fuzz target for volume discovery: the input is a disk (padded to whole sectors, capped at
// 4 MiB) that is walked as an MBR disk, as a GPT disk, and scanned for boot sectors.
#include "core/progress.h"
#include "disk/memory_reader.h"
#include "volumes/partition.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  constexpr std::size_t kMaxDiskBytes = 4 << 20;
  size = std::min(size, kMaxDiskBytes);
  std::vector<std::uint8_t> disk(data, data + size);
  disk.resize((size + quillon::kSectorSize - 1) / quillon::kSectorSize * quillon::kSectorSize);
  // The last byte decides the scan options, so both skip modes and a start sector get covered.
  const std::uint8_t options = size > 0 ? data[size - 1] : 0;

  quillon::MemoryReader reader(std::move(disk));
  quillon::NullProgress progress;
  std::vector<quillon::VolumeRecord> records;
  for (const bool gpt : {false, true}) {
    quillon::Partition walk(reader, progress, records);
    walk.gptMode = gpt;
    (void)walk.listPartitions();
  }
  quillon::Partition scan(reader, progress, records);
  scan.skipFoundVolumes = (options & 1) == 0;
  scan.scanStartSector = (options >> 1) & 7;
  scan.scanEndSector = (options >> 4) * 512;
  scan.scanBootSectors();
  return 0;
}
