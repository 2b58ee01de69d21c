// Fuzz target for the HFS+ parser: the input's first byte chooses the mode (bit 0: deep), the
// rest (capped at 8 MiB, padded to whole sectors) is the volume. The volume is scanned, its top
// level put into a tree, every record listed through the browse adapter with its texts and
// times, and the first few files saved into a private folder.
#include "browse/hfs_browser.h"
#include "core/item_tree.h"
#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/memory_reader.h"
#include "fs/hfsplus/hfsplus.h"
#include "fuzz_browse_support.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  constexpr std::size_t kMaxVolumeBytes = 8 << 20;
  const bool deep = (data[0] & 0x01) != 0;
  std::vector<std::uint8_t> volume(data + 1, data + std::min(size, kMaxVolumeBytes));
  volume.resize((volume.size() + quillon::kSectorSize - 1) / quillon::kSectorSize *
                quillon::kSectorSize);
  const quillon::VolumeRecord record{"HFS+", "", "0",
                                     std::to_string((volume.size() >> 20) + 1) + "  MB", 0};
  quillon::MemoryReader reader(std::move(volume));
  quillon::NullProgress progress;
  quillon::WorkerControl control;
  quillon::HFSP parser(reader, progress, control, record);
  if (!parser.scan(deep ? quillon::HfsScanMode::Deep : quillon::HfsScanMode::Standard)) {
    return 0;
  }
  quillon::ItemTree tree;
  parser.fillHfsRootItems(tree);
  quillon::HfsBrowser browser(parser);
  quillon::fuzz::browseAndSave(browser);
  return 0;
}
