// Fuzz target for the FAT family: the input (capped at 8 MiB, padded to whole sectors) is a
// volume. The first byte picks FAT16, FAT32 or exFAT (and whether the drive counts as
// formatted); the volume is scanned in the standard mode, every record is listed through the
// browse adapter and the first few files are saved into a private folder.
#include "browse/exfat_browser.h"
#include "browse/fat_browser.h"
#include "browse/listing.h"
#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/memory_reader.h"
#include "fs/fat/exfat.h"
#include "fs/fat/fat16.h"
#include "fs/fat/fat32.h"
#include "fuzz_file_support.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace {

void browse(quillon::FsBrowser &browser) {
  quillon::WorkerControl control;
  int saved = 0;
  (void)quillon::listBelow(browser, quillon::ListedEntry{}, true, &control,
                           [&](const quillon::ListedEntry &e) {
                             (void)browser.listTexts(e.record);
                             (void)browser.times(e.record);
                             if (!e.info.folder && saved < 4) {
                               ++saved;
                               (void)browser.saveFile(e.record, quillon::fuzz::scratchFolder());
                             }
                           });
}

} // namespace

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
  const bool formatted = (choice & 0x80) != 0;
  switch (choice % 3) {
  case 0: {
    quillon::Fat16Class fat(reader, progress, control, {"FAT16", "", "0", "8  MB", 0});
    fat.driveFormatted = formatted;
    if (fat.standardScan()) {
      quillon::FatBrowser browser(fat);
      browse(browser);
    }
    break;
  }
  case 1: {
    quillon::Fat32Class fat(reader, progress, control, {"FAT32", "", "0", "8  MB", 0});
    fat.driveFormatted = formatted;
    if (fat.standardScan()) {
      quillon::FatBrowser browser(fat);
      browse(browser);
    }
    break;
  }
  default: {
    quillon::Fat64Class fat(reader, progress, control, {"FAT64", "", "0", "8  MB", 0});
    fat.driveFormatted = formatted;
    if (fat.runStandardScan()) {
      quillon::ExFatBrowser browser(fat);
      browse(browser);
    }
    break;
  }
  }
  return 0;
}
