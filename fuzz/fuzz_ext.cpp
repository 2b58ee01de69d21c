// Fuzz target for ext2/ext3/ext4: the input (capped at 8 MiB, padded to whole sectors) is a
// volume. It is scanned in the standard mode, every node is listed through the browse adapter
// with its list texts and times, the top level is put into a tree, and the first few files are
// saved into a private folder.
#include "browse/ext_browser.h"
#include "core/item_tree.h"
#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/memory_reader.h"
#include "fs/ext/ext2.h"
#include "fuzz_browse_support.h"

#include <algorithm>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  constexpr std::size_t kMaxVolumeBytes = 8 << 20;
  std::vector<std::uint8_t> volume(data, data + std::min(size, kMaxVolumeBytes));
  volume.resize((volume.size() + 511) / 512 * 512);
  quillon::MemoryReader reader(std::move(volume));
  quillon::NullProgress progress;
  quillon::WorkerControl control;
  quillon::ext2Class parser(reader, progress, control, {"extX", "", "0", "8  MB", 0});
  if (!parser.standardScan()) {
    return 0;
  }
  quillon::ItemTree tree;
  parser.fillRootItems(tree);
  quillon::ExtBrowser browser(parser);
  quillon::fuzz::browseAndSave(browser);
  return 0;
}
