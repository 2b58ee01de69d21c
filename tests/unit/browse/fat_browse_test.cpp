// The FAT adapter drives the shared listing and folder save over a scanned FAT32 volume.
#include "browse/fat_browser.h"
#include "browse/listing.h"
#include "browse/save_folder.h"
#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/memory_reader.h"
#include "fs/fat/fat32.h"
#include "support/fat_builder.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace quillon::test {
namespace {

constexpr std::uint8_t kFile = 0x20;
constexpr std::uint8_t kFolder = 0x10;

TEST(FatBrowse, ListsAndSavesThroughTheSharedWalks) {
  FatBuilder b(true);
  const std::vector<std::uint8_t> report(1300, 'r');
  b.writeChain({40, 41, 42}, report);
  b.writeChain({50}, {'h', 'i'});
  auto gone = std::vector<FatSlot>{fatShortSlot("GONE.TXT", kFile, 50, 2)};
  fatDelete(gone);
  b.writeRoot({fatShortSlot("DOCS", kFolder, 10, 0), gone[0]});
  b.writeFolder(
      {10}, 0,
      fatNamedSlots(u"Quarterly report.txt", fatShortSlot("QUARTE~1.TXT", kFile, 40, 1300)));
  MemoryReader reader(b.image);
  RecordingProgress progress;
  WorkerControl control;
  Fat32Class volume(reader, progress, control, {"FAT32", "", "0", "1   MB", 0});
  ASSERT_TRUE(volume.standardScan());
  FatBrowser browser(volume);

  std::vector<std::string> listed;
  ASSERT_TRUE(listBelow(browser, ListedEntry{}, true, &control, [&](const ListedEntry &e) {
    listed.push_back(joinPath(e.path) + (e.info.deleted ? "*" : "") +
                     (e.info.folder ? "/" : ":" + std::to_string(browser.dataSize(e.record))));
  }));
  EXPECT_EQ(listed,
            (std::vector<std::string>{"DOCS/", "DOCS/Quarterly report.txt:1300", "_ONE.TXT*:2"}));
  EXPECT_EQ(
      browser.listTexts(findPath(browser, {"DOCS", "Quarterly report.txt"}).at(0).record).size,
      "1.27 KB");

  TempDir out;
  const SaveReport saved = saveFolder(browser, std::monostate{}, out.path(), progress, control);
  EXPECT_EQ(saved.written, 2U);
  EXPECT_EQ(readFileBytes(out / "DOCS" / "Quarterly report.txt"), report);
  EXPECT_EQ(readFileBytes(out / "_ONE.TXT"), (std::vector<std::uint8_t>{'h', 'i'}));
  EXPECT_FALSE(browser.owns(std::int64_t{0})); // the root's stand-in record is not an item
}

} // namespace
} // namespace quillon::test
