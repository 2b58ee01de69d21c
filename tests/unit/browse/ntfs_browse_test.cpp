// The NTFS road of the scan page: the worker's tree top level, growth and saving through the
// NTFS adapter, Recycle Bin names, and chains that loop.
#include "browse/ntfs_browser.h"
#include "browse/ntfs_workers.h"
#include "browse/save_folder.h"
#include "browse/tree_growth.h"
#include "fs/ntfs/ntfs_tree.h"
#include "support/file_util.h"
#include "support/ntfs_builder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace quillon::test {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string &s) { return {s.begin(), s.end()}; }

std::vector<std::uint8_t> indexFileV2(const std::u16string &path) {
  std::vector<std::uint8_t> b(24, 0);
  b[0] = 2;
  const std::uint32_t units = static_cast<std::uint32_t>(path.size() + 1);
  for (int i = 0; i < 4; ++i) {
    b.push_back(static_cast<std::uint8_t>(units >> (8 * i)));
  }
  for (const char16_t c : path) {
    b.push_back(static_cast<std::uint8_t>(c));
    b.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  b.push_back(0);
  b.push_back(0);
  return b;
}

std::vector<std::string> itemTexts(const ItemTree &tree, ItemHandle item) {
  std::vector<std::string> out;
  for (const ItemHandle c : tree.children(item)) {
    out.push_back(tree.text(c));
  }
  return out;
}

NtfsBuilder sampleVolume() {
  NtfsGeometry geometry;
  geometry.mftRecords = 128;
  NtfsBuilder b(geometry);
  b.folder(64, "Docs")
      .file(65, "a.txt", 64, bytesOf("hello"))
      .file(66, "gone.txt", 64, bytesOf("old"), false)
      .folder(67, "Empty")
      .file(68, "old.bin", 5, bytesOf("x"), false)
      .folder(69, "$RECYCLE.BIN")
      .folder(70, "S-1-5-21-7", 69)
      .file(71, "$RXY12.txt", 70, bytesOf("recycled"))
      .file(72, "$IXY12.txt", 70, indexFileV2(u"C:\\Users\\bo\\plan.txt"));
  return b;
}

TEST(NtfsBrowse, WorkerFillsTheTopLevelAndTheTreeGrowsFromTheTable) {
  NtfsHarness h(sampleVolume().build());
  ItemTree tree;
  runNtfsWorkerA(h.parser, tree);
  const ItemHandle root = tree.rootItem();
  ASSERT_NE(root, kNoItem);
  EXPECT_EQ(tree.text(root), "ROOT");
  EXPECT_TRUE(tree.expanded(root));
  EXPECT_EQ(tree.checkImage(root), CheckImage::Checked);
  const auto top = itemTexts(tree, root);
  ASSERT_FALSE(top.empty());
  EXPECT_EQ(top.back(), "ORPHAN_ENTRY");
  const auto at = [&](const std::string &name) {
    for (const ItemHandle c : tree.children(root)) {
      if (tree.text(c) == name) {
        return c;
      }
    }
    return kNoItem;
  };
  ASSERT_NE(at("Docs"), kNoItem);
  EXPECT_TRUE(tree.hasPlaceholder(at("Docs")));
  EXPECT_FALSE(tree.hasChildren(at("Empty")));
  EXPECT_FALSE(tree.hasChildren(at("ORPHAN_ENTRY")));
  EXPECT_TRUE(tree.deletedLook(at("old.bin")));
  EXPECT_FALSE(tree.deletedLook(at("Docs")));
  EXPECT_TRUE(h.progress.sawStatus("Processing done..."));
  ASSERT_FALSE(h.progress.messages().empty());
  EXPECT_EQ(h.progress.messages().back().text, "Scanning process completed...");

  // The Recycle Bin's data file got its name back in the table.
  EXPECT_EQ(h.entry(71).name, "plan.txt");

  NtfsBrowser browser(h.parser);
  const auto rows = labelClick(browser, tree, at("Docs"));
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 2U);
  EXPECT_EQ((*rows)[0].columns[0], "a.txt");
  EXPECT_EQ((*rows)[0].columns[4], "5 Bytes");
  EXPECT_EQ((*rows)[0].columns[1], "09/13/2020  12:26 AM");
  EXPECT_TRUE(tree.deletedLook((*rows)[1].item));
}

TEST(NtfsBrowse, SavingEverythingKeepsFoldersAndLeavesBadClusUnwritten) {
  NtfsHarness h(sampleVolume().build());
  ItemTree tree;
  runNtfsWorkerA(h.parser, tree, NtfsScanOptions{.endMessages = false});
  EXPECT_TRUE(h.progress.messages().empty());
  NtfsBrowser browser(h.parser);
  TempDir out;
  const SaveReport report = saveFolder(browser, ItemData{}, out.path(), h.progress, h.control);
  EXPECT_TRUE(report.failures.empty()) << report.failures.front();
  EXPECT_EQ(report.skipped, 1U);
  EXPECT_FALSE(std::filesystem::exists(out / "$BadClus"));
  EXPECT_TRUE(h.progress.sawStatus("saving File  " + (out.path() / "").string() + "$BadClus"));
  EXPECT_EQ(readFileBytes(out / "Docs" / "a.txt"), bytesOf("hello"));
  EXPECT_EQ(readFileBytes(out / "$RECYCLE.BIN" / "S-1-5-21-7" / "plan.txt"), bytesOf("recycled"));
  EXPECT_TRUE(std::filesystem::is_directory(out / "Empty"));
}

TEST(NtfsBrowse, ChildChainsThatLoopEndAndShowEachEntryOnce) {
  NtfsHarness h(sampleVolume().build());
  h.standardScan();
  // Docs' chain: a.txt -> gone.txt -> a.txt -> ...
  const std::int64_t docs = h.find("Docs");
  const std::int64_t a = h.find("a.txt");
  const std::int64_t gone = h.find("gone.txt");
  ASSERT_GT(docs, 0);
  h.parser.entries[static_cast<std::size_t>(gone)].nextSibling = a;
  EXPECT_EQ(ntfsChildIndexes(h.parser, docs), (std::vector<std::int64_t>{a, gone}));
  h.parser.entries[static_cast<std::size_t>(a)].nextSibling = 1 << 30; // outside the table
  EXPECT_EQ(ntfsChildIndexes(h.parser, docs), (std::vector<std::int64_t>{a}));
  EXPECT_TRUE(ntfsChildIndexes(h.parser, -3).empty());
}

} // namespace
} // namespace quillon::test
