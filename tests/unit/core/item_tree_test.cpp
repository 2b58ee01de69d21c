// The check-box tree as data: smart checking, placeholders, navigation and stable handles.
#include "core/item_tree.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

struct FolderWithFiles {
  ItemTree tree;
  ItemHandle root, folder;
  std::vector<ItemHandle> files;
  FolderWithFiles() {
    root = tree.insert(kNoItem, kRootItemText, IconKind::Folder);
    folder = tree.insert(root, "Docs", IconKind::Folder, std::int64_t{40});
    for (const char *name : {"a.txt", "b.txt", "c.txt"}) {
      files.push_back(tree.insert(folder, name, IconKind::File, std::int64_t{41}));
    }
  }
};

TEST(ItemTree, CheckingAFolderChecksItsFilesAndParentsFollowTheirDescendants) {
  FolderWithFiles t;
  t.tree.setChecked(t.folder, true);
  for (const ItemHandle f : t.files) {
    EXPECT_TRUE(t.tree.isChecked(f));
  }
  EXPECT_EQ(t.tree.checkImage(t.folder), CheckImage::Checked);
  // All of ROOT's descendants are the folder and its files, so ROOT shows checked too.
  EXPECT_EQ(t.tree.checkImage(t.root), CheckImage::Checked);
  EXPECT_TRUE(t.tree.isChecked(t.root));

  t.tree.setChecked(t.files[1], false);
  EXPECT_EQ(t.tree.checkImage(t.folder), CheckImage::Tristate);
  EXPECT_FALSE(t.tree.isChecked(t.folder));
  EXPECT_EQ(t.tree.checkImage(t.root), CheckImage::Tristate);

  // Checking the tri-state folder again checks everything below it.
  t.tree.setChecked(t.folder, true);
  EXPECT_TRUE(t.tree.isChecked(t.files[1]));
  EXPECT_EQ(t.tree.checkImage(t.root), CheckImage::Checked);

  // Unchecking every file one by one leaves the folder unchecked, not tri-state.
  for (const ItemHandle f : t.files) {
    t.tree.setChecked(f, false);
  }
  EXPECT_EQ(t.tree.checkImage(t.folder), CheckImage::Unchecked);
  EXPECT_EQ(t.tree.checkImage(t.root), CheckImage::Unchecked);
  EXPECT_FALSE(t.tree.isChecked(t.root));

  // Checking the last file completes the folder and ROOT again.
  for (const ItemHandle f : t.files) {
    t.tree.setChecked(f, true);
  }
  EXPECT_EQ(t.tree.checkImage(t.folder), CheckImage::Checked);
  EXPECT_EQ(t.tree.checkImage(t.root), CheckImage::Checked);
}

TEST(ItemTree, GrownChildrenTakeTheirFolderState) {
  ItemTree tree;
  const ItemHandle root = tree.insert(kNoItem, kRootItemText, IconKind::Folder);
  const ItemHandle checkedFolder = tree.insert(root, "A", IconKind::Folder);
  tree.insertPlaceholder(checkedFolder);
  const ItemHandle otherFolder = tree.insert(root, "B", IconKind::Folder);
  tree.setChecked(root, true);
  tree.setChecked(otherFolder, false);
  EXPECT_EQ(tree.checkImage(root), CheckImage::Tristate);
  ASSERT_TRUE(tree.hasPlaceholder(checkedFolder));
  EXPECT_TRUE(tree.isChecked(tree.firstChild(checkedFolder)));

  // Replacing the placeholder by real children keeps the folder checked and its children too.
  EXPECT_TRUE(tree.removePlaceholder(tree.firstChild(checkedFolder)));
  EXPECT_TRUE(tree.isChecked(checkedFolder));
  const ItemHandle grown = tree.insert(checkedFolder, "x.bin", IconKind::File);
  EXPECT_TRUE(tree.isChecked(grown));
  EXPECT_EQ(tree.checkImage(checkedFolder), CheckImage::Checked);

  const ItemHandle grownUnchecked = tree.insert(otherFolder, "y.bin", IconKind::File);
  EXPECT_FALSE(tree.isChecked(grownUnchecked));
  EXPECT_EQ(tree.checkImage(root), CheckImage::Tristate);
}

TEST(ItemTree, DisabledItemsKeepTheirStateAndDoNotHoldBackTheirFolder) {
  FolderWithFiles t;
  t.tree.setEnabled(t.files[0], false);
  t.tree.setChecked(t.folder, true);
  EXPECT_FALSE(t.tree.isChecked(t.files[0]));
  EXPECT_TRUE(t.tree.isChecked(t.files[1]));
  EXPECT_EQ(t.tree.checkImage(t.folder), CheckImage::Checked);
  EXPECT_TRUE(t.tree.isChecked(t.folder));

  // Enabling the unchecked file makes the folder tri-state, since it is now counted.
  t.tree.setEnabled(t.files[0], true);
  EXPECT_EQ(t.tree.checkImage(t.folder), CheckImage::Tristate);
  EXPECT_FALSE(t.tree.isChecked(t.folder));
}

TEST(ItemTree, PlaceholderRemovalKeepsHandlesAndRowsStraight) {
  ItemTree tree;
  const ItemHandle root = tree.insert(kNoItem, kRootItemText, IconKind::Folder);
  const ItemHandle folder = tree.insert(root, "F", IconKind::Folder, std::int64_t{7});
  const ItemHandle placeholder = tree.insertPlaceholder(folder);
  const ItemHandle file = tree.insert(root, "f.txt", IconKind::File, std::int64_t{8});

  EXPECT_FALSE(tree.removePlaceholder(file)) << "only placeholders can be removed";
  EXPECT_FALSE(tree.removePlaceholder(folder));
  EXPECT_TRUE(tree.removePlaceholder(placeholder));
  EXPECT_FALSE(tree.valid(placeholder));
  EXPECT_FALSE(tree.hasChildren(folder));

  const ItemHandle a = tree.insert(folder, "a", IconKind::File, std::int64_t{9});
  const ItemHandle b = tree.insert(folder, "b", IconKind::File, std::uint32_t{10});
  EXPECT_EQ(tree.text(file), "f.txt");
  EXPECT_EQ(std::get<std::int64_t>(tree.data(folder)), 7);
  EXPECT_EQ(std::get<std::uint32_t>(tree.data(b)), 10U);
  EXPECT_EQ(tree.parent(a), folder);
  EXPECT_EQ(tree.row(b), 1U);
  EXPECT_EQ(tree.firstChild(folder), a);
  EXPECT_EQ(tree.nextSibling(a), b);
  EXPECT_EQ(tree.nextSibling(b), kNoItem);
  EXPECT_EQ(tree.nextSibling(folder), file);
  EXPECT_EQ(tree.rootItem(), root);
  EXPECT_EQ(tree.children(kNoItem).size(), 1U);

  // A removed placeholder before later siblings: their rows close up.
  const ItemHandle p2 = tree.insertPlaceholder(root);
  const ItemHandle last = tree.insert(root, "z", IconKind::File);
  EXPECT_EQ(tree.row(last), 3U);
  EXPECT_TRUE(tree.removePlaceholder(p2));
  EXPECT_EQ(tree.row(last), 2U);
  EXPECT_EQ(tree.nextSibling(file), last);

  // Invalid handles read as empty items and change nothing.
  tree.setChecked(placeholder, true);
  tree.setText(placeholder, "x");
  EXPECT_EQ(tree.text(placeholder), "");
  EXPECT_EQ(tree.parent(placeholder), kNoItem);
  EXPECT_TRUE(tree.children(placeholder).empty());
  EXPECT_EQ(tree.insert(placeholder, "orphan", IconKind::File), kNoItem);

  tree.clear();
  EXPECT_FALSE(tree.valid(root));
  EXPECT_EQ(tree.rootItem(), kNoItem);
}

TEST(ItemTree, DeepChainsCheckWithoutRecursion) {
  ItemTree tree;
  const ItemHandle top = tree.insert(kNoItem, kRootItemText, IconKind::Folder);
  const ItemHandle side = tree.insert(top, "side.txt", IconKind::File);
  ItemHandle at = top;
  for (int i = 0; i < 3000; ++i) {
    at = tree.insert(at, "d", IconKind::Folder);
  }
  tree.setChecked(top, true);
  EXPECT_TRUE(tree.isChecked(at));
  tree.setChecked(at, false);
  // Every folder of the chain now has only unchecked descendants; ROOT still has side.txt.
  EXPECT_EQ(tree.checkImage(tree.parent(at)), CheckImage::Unchecked);
  EXPECT_EQ(tree.checkImage(tree.children(top)[1]), CheckImage::Unchecked);
  EXPECT_TRUE(tree.isChecked(side));
  EXPECT_EQ(tree.checkImage(top), CheckImage::Tristate);
}

} // namespace
} // namespace quillon
