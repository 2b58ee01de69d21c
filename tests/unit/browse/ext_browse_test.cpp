// The ext adapter drives the shared tree growth and search over a scanned volume: the top level
// from fillRootItems, deleted names drawn red when a click grows their folder, and a search that
// finds a deleted file inside a folder never opened.
#include "browse/ext_browser.h"
#include "browse/search.h"
#include "browse/tree_growth.h"
#include "core/progress.h"
#include "core/worker_control.h"
#include "fs/ext/ext2.h"
#include "support/ext_builder.h"

#include <gtest/gtest.h>

namespace quillon::test {
namespace {

TEST(ExtBrowse, TreeGrowthAndSearchThroughTheAdapter) {
  ExtBuilder b;
  b.addFolder(2, 2, {{12, "Docs", 2}, {13, "top.txt", 1}});
  b.addFolder(12, 2, {{14, "report.txt", 1}, {15, "old report.txt", 1, true}});
  b.addFile(13, {'t'});
  b.addFile(14, {'r'});
  ExtInode freed;
  freed.links = 0;
  freed.dtime = 1;
  b.addFile(15, {'o'}, freed);
  auto disk = b.sparseDisk();
  RecordingProgress progress;
  WorkerControl control;
  ext2Class parser(*disk, progress, control, b.record());
  ASSERT_TRUE(parser.standardScan());
  ExtBrowser browser(parser);
  ItemTree tree;
  parser.fillRootItems(tree);

  const auto hits = [&](const std::string &pattern) {
    std::vector<std::string> paths;
    (void)searchTree(browser, tree, pattern, progress, control, [&](const SearchHit &hit) {
      paths.push_back(displayPath(hit, kRootItemText));
    });
    return paths;
  };
  EXPECT_EQ(hits("report"),
            (std::vector<std::string>{"ROOT\\Docs\\old report.txt", "ROOT\\Docs\\report.txt"}));

  // Descending inode order: top.txt (13), Docs (12), then the root's own ".".
  const auto &top = tree.children(tree.rootItem());
  ASSERT_EQ(top.size(), 3U);
  EXPECT_EQ(tree.text(top[0]), "top.txt");
  const ItemHandle docs = top[1];
  ASSERT_EQ(tree.text(docs), "Docs");
  const auto rows = labelClick(browser, tree, docs);
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 2U);
  EXPECT_EQ(rows->at(0).columns[0], "old report.txt");
  EXPECT_EQ(rows->at(0).columns[4], "1 Bytes");
  EXPECT_TRUE(tree.deletedLook(rows->at(0).item));
  EXPECT_FALSE(tree.deletedLook(rows->at(1).item));
  EXPECT_FALSE(browser.owns(std::int64_t{kExtRootKey})); // ROOT is the empty item data
}

} // namespace
} // namespace quillon::test
