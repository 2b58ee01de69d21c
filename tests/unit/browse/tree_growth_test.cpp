// Lazy tree growth and list rows for label clicks, expanding and double-clicks.
#include "browse/tree_growth.h"
#include "support/fake_browser.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace quillon::test {
namespace {

// ROOT with Docs (a.txt, a deleted old.txt, Sub with one file) and an empty folder.
struct Volume {
  FakeBrowser fs;
  ItemTree tree;
  ItemHandle root = kNoItem, docs = kNoItem, empty = kNoItem;
  std::int64_t docsRecord = 0, sub = 0;
  Volume() {
    docsRecord = fs.folder(-1, "Docs");
    fs.file(docsRecord, "a.txt", "alpha");
    sub = fs.folder(docsRecord, "Sub");
    fs.file(sub, "inner.txt", "inner");
    fs.file(docsRecord, "old.txt", "old", /*deleted=*/true);
    fs.folder(-1, "Empty");
    root = tree.insert(kNoItem, kRootItemText, IconKind::Folder);
    for (const ItemData &top : fs.children(ItemData{})) {
      insertRecordItem(fs, tree, root, top, true);
    }
    docs = tree.children(root)[0];
    empty = tree.children(root)[1];
  }
  std::vector<std::string> texts(ItemHandle item) const {
    std::vector<std::string> out;
    for (const ItemHandle c : tree.children(item)) {
      out.push_back(tree.text(c));
    }
    return out;
  }
};

TEST(TreeGrowth, FoldersWithChildrenGetAPlaceholderAndEmptyOnesDoNot) {
  Volume v;
  EXPECT_TRUE(v.tree.hasPlaceholder(v.docs));
  EXPECT_EQ(v.tree.text(v.tree.firstChild(v.docs)), "..DUMY..");
  EXPECT_FALSE(v.tree.hasChildren(v.empty));
}

TEST(TreeGrowth, LabelClickGrowsTheFolderWithDeletedRedAndListsOnlyItsFiles) {
  Volume v;
  v.tree.setChecked(v.docs, true);
  const auto rows = labelClick(v.fs, v.tree, v.docs);
  ASSERT_TRUE(rows.has_value());
  EXPECT_EQ(v.texts(v.docs), (std::vector<std::string>{"a.txt", "Sub", "old.txt"}));
  const ItemHandle old = v.tree.children(v.docs)[2];
  EXPECT_TRUE(v.tree.deletedLook(old));
  EXPECT_FALSE(v.tree.deletedLook(v.tree.children(v.docs)[0]));
  EXPECT_TRUE(v.tree.isChecked(old)) << "grown children take the folder's state";
  EXPECT_TRUE(v.tree.hasPlaceholder(v.tree.children(v.docs)[1])) << "Sub has children";

  ASSERT_EQ(rows->size(), 2U);
  EXPECT_EQ((*rows)[0].columns, (std::array<std::string, 6>{"a.txt", "c:a.txt", "a:a.txt",
                                                            "m:a.txt", "5 Bytes", "-A"}));
  EXPECT_EQ((*rows)[0].item, v.tree.children(v.docs)[0]);
  EXPECT_EQ((*rows)[1].columns[0], "old.txt");

  // A second click only refills the list.
  const auto again = labelClick(v.fs, v.tree, v.docs);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->size(), 2U);
  EXPECT_EQ(v.tree.children(v.docs).size(), 3U);

  // A file lists itself; a folder without children leaves the list alone, as do ROOT and
  // items of another parser.
  const auto file = labelClick(v.fs, v.tree, old);
  ASSERT_TRUE(file.has_value());
  ASSERT_EQ(file->size(), 1U);
  EXPECT_EQ((*file)[0].columns[5], "-D");
  EXPECT_FALSE(labelClick(v.fs, v.tree, v.empty).has_value());
  EXPECT_FALSE(labelClick(v.fs, v.tree, v.root).has_value());
  const ItemHandle foreign = v.tree.insert(v.root, "hfs", IconKind::Folder, std::uint32_t{7});
  EXPECT_FALSE(labelClick(v.fs, v.tree, foreign).has_value());
}

TEST(TreeGrowth, ExpandingGrowsWithoutRedAndStopsAtANamelessChild) {
  Volume v;
  const std::int64_t nameless = v.fs.file(v.docsRecord, "");
  v.fs.file(v.docsRecord, "after.txt");
  (void)nameless;
  expanding(v.fs, v.tree, v.docs);
  EXPECT_EQ(v.texts(v.docs), (std::vector<std::string>{"a.txt", "Sub", "old.txt"}));
  EXPECT_FALSE(v.tree.deletedLook(v.tree.children(v.docs)[2]));

  // Once grown, expanding again changes nothing.
  expanding(v.fs, v.tree, v.docs);
  EXPECT_EQ(v.tree.children(v.docs).size(), 3U);
}

TEST(TreeGrowth, DoubleClickListsFileNamesOrSavesTheFile) {
  Volume v;
  const DoubleClickResult folder = doubleClick(v.fs, v.tree, v.docs, {});
  ASSERT_TRUE(folder.rows.has_value());
  ASSERT_EQ(folder.rows->size(), 2U);
  EXPECT_EQ((*folder.rows)[0].columns, (std::array<std::string, 6>{"a.txt", "", "", "", "", ""}));
  EXPECT_FALSE(v.tree.deletedLook(v.tree.children(v.docs)[2]));
  EXPECT_FALSE(folder.saved.has_value());

  TempDir out;
  const DoubleClickResult file = doubleClick(v.fs, v.tree, v.tree.children(v.docs)[0], out.path());
  ASSERT_TRUE(file.saved.has_value());
  EXPECT_TRUE(file.saved->written);
  EXPECT_EQ(readFileBytes(out / "a.txt"), (std::vector<std::uint8_t>{'a', 'l', 'p', 'h', 'a'}));
  EXPECT_FALSE(file.rows.has_value());
}

TEST(TreeGrowth, ListCheckBoxesReachTheTreeOnlyOutsideSearchResults) {
  Volume v;
  const auto rows = labelClick(v.fs, v.tree, v.docs);
  ASSERT_TRUE(rows.has_value());
  listCheckClicked(v.tree, (*rows)[0], true, /*searchResults=*/true);
  EXPECT_FALSE(v.tree.isChecked((*rows)[0].item));
  listCheckClicked(v.tree, (*rows)[0], true, false);
  EXPECT_TRUE(v.tree.isChecked((*rows)[0].item));
  EXPECT_EQ(v.tree.checkImage(v.docs), CheckImage::Tristate);
}

} // namespace
} // namespace quillon::test
