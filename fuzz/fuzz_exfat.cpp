// Fuzz target for exFAT: the input's first byte is a choice, the rest (capped at 8 MiB, padded to
// whole sectors) is a volume. The volume is read in the standard mode and in the advanced mode
// (candidate search, entry scan, table built from the chosen candidates); each time every record
// is listed through the browse adapter and the first few files are saved into a private folder.
// Choice bits: 0-2 the advanced cluster shift, 3 the table candidate (0 or 1), 4-5 the heap
// candidate (none given, 0, 1 or 2), 6 a maximum of 1 instead of 0 (which means 3), 7 the drive
// counts as formatted.
#include "browse/exfat_browser.h"
#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/memory_reader.h"
#include "fs/fat/exfat.h"
#include "fuzz_browse_support.h"

#include <algorithm>
#include <optional>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  constexpr std::size_t kMaxVolumeBytes = 8 << 20;
  const std::uint8_t choice = data[0];
  std::vector<std::uint8_t> volume(data + 1, data + std::min(size, kMaxVolumeBytes));
  volume.resize((volume.size() + 511) / 512 * 512);
  quillon::MemoryReader reader(std::move(volume));
  quillon::NullProgress progress;
  quillon::WorkerControl control;
  const quillon::VolumeRecord record{"FAT64", "", "0", "8  MB", 0};
  const bool formatted = (choice & 0x80) != 0;
  {
    quillon::Fat64Class fat(reader, progress, control, record);
    fat.driveFormatted = formatted;
    if (fat.runStandardScan()) {
      quillon::ExFatBrowser browser(fat);
      quillon::fuzz::browseAndSave(browser);
    }
  }
  quillon::Fat64Class fat(reader, progress, control, record);
  fat.driveFormatted = formatted;
  fat.runCandidateSearch((choice & 0x40) != 0 ? 1 : 0);
  const unsigned shift = choice & 0x07;
  const std::size_t candidate = (choice >> 3) & 0x01;
  const unsigned heapChoice = (choice >> 4) & 0x03;
  const std::optional<std::size_t> heap =
      heapChoice == 0 ? std::nullopt : std::optional<std::size_t>(heapChoice - 1);
  if (fat.runAdvancedScan(candidate, shift, heap)) {
    quillon::ExFatBrowser browser(fat);
    quillon::fuzz::browseAndSave(browser);
  }
  return 0;
}
