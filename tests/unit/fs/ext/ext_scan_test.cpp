// ext scan: the superblock search, group descriptors of both sizes (with the high halves of
// block numbers), the directory-entry rules, deleted names from record slack, hostile folders,
// and the scan's status texts and top level.
#include "ext_harness.h"

#include "core/byte_order.h"
#include "disk/memory_reader.h"
#include "fs/ext/ext_layout.h"

#include <algorithm>

namespace quillon::test {
namespace {

// A zeroed volume with superblock bytes (magic and block-size exponent) at the given offsets.
std::vector<std::uint8_t> superblocksAt(std::size_t bytes,
                                        const std::vector<std::pair<std::size_t, int>> &copies) {
  std::vector<std::uint8_t> image(bytes, 0);
  for (const auto &[offset, logBlockSize] : copies) {
    putLe(image, offset + 0x38, 0xEF53, 2);
    putLe(image, offset + 0x18, static_cast<std::uint64_t>(logBlockSize), 4);
  }
  return image;
}

TEST(ExtSuperblock, SearchStepsBy512BytesWithinTheVolumeAndBlockSizeLimit) {
  struct Case {
    const char *what;
    std::string sizeText;
    std::vector<std::pair<std::size_t, int>> copies;
    std::optional<std::uint64_t> found;
    std::uint32_t blockSize = 0;
  };
  const std::vector<Case> cases = {
      {"primary copy", "3", {{1024, 2}}, 1024, 4096},
      {"a copy 512-byte steps further", "3", {{1024 + 512 * 7, 0}}, 1024 + 512 * 7, 1024},
      {"128 KiB blocks are refused, the next step is taken",
       "3",
       {{1024, 7}, {1536, 1}},
       1536,
       2048},
      {"64 KiB blocks are accepted", "3", {{1024, 6}}, 1024, 65536},
      {"no search in a volume of 1536 bytes or less", "0", {{1024, 0}}, std::nullopt},
      {"nothing past the volume's end", "1", {{(1 << 20) + 1024, 0}}, std::nullopt},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    MemoryReader reader(superblocksAt(3 << 20, c.copies));
    NullProgress progress;
    WorkerControl control;
    ext2Class parser(reader, progress, control, {"extX", "", "0", c.sizeText, 0});
    ASSERT_TRUE(parser.attachReader());
    EXPECT_EQ(parser.findSuperblock(), c.found.has_value());
    if (c.found) {
      EXPECT_EQ(parser.geometry.superblockOffset, *c.found);
      EXPECT_EQ(parser.geometry.blockSize, c.blockSize);
    }
  }
}

TEST(ExtDescriptors, SixtyFourByteDescriptorsPlaceEveryGroup) {
  // Two groups of 1024 blocks; the file's inode lies in the second group, whose descriptor a
  // 32-byte stride would take from the upper half of the first one.
  ExtBuilder b({.blocksCount = 2048, .blocksPerGroup = 1024, .inodesPerGroup = 16, .bit64 = true});
  b.addFolder(2, 2, {{20, "second-group.txt", 1}});
  b.addFile(20, bytesOf("in group one"));
  ExtHarness h(b);
  ASSERT_TRUE(h.scan());
  EXPECT_EQ(h.parser.geometry.descriptorSize, 64U);
  EXPECT_EQ(h.listing(), (std::vector<std::string>{"second-group.txt", "./"}));
  EXPECT_EQ(h.saved("second-group.txt"), bytesOf("in group one"));
}

TEST(ExtDescriptors, HighHalvesOfBlockNumbersAreUsed) {
  // A volume of 2^32 + 2^20 blocks of 4 KiB. Group 1's inode table, the file's extent index
  // node and its data all lie above block 2^32; decoys sit where the low halves alone point.
  constexpr std::uint64_t kHigh = std::uint64_t{1} << 32;
  ExtBuilder b({.blockSize = 4096,
                .blocksCount = kHigh + (1 << 20),
                .blocksPerGroup = 32768,
                .inodesPerGroup = 32,
                .bit64 = true});
  b.setInodeTable(1, kHigh + 10);
  b.addFolder(2, 2, {{40, "far.bin", 1}});
  ExtInode file;
  file.flags = 0x80000;
  file.size = 9;
  file.block = extExtentRoot(1, {{0, kHigh + 20, 0}});
  b.writeInode(40, file);
  b.writeExtentNode(kHigh + 20, 0, {{0, kHigh + 30, 1}});
  b.write(kHigh + 30, bytesOf("far away!"));
  b.writeExtentNode(20, 0, {{0, 30, 1}});
  b.write(30, bytesOf("the decoy"));
  ExtHarness h(b);
  ASSERT_TRUE(h.scan());
  EXPECT_EQ(h.listing(), (std::vector<std::string>{"far.bin", "./"}));
  EXPECT_EQ(h.saved("far.bin"), bytesOf("far away!"));
}

// The root of the directory-rule volume: regular, special and typed entries, the last inode
// of the table, and an entry beyond the inode count followed by one more entry.
ExtBuilder ruleVolume(bool fileTypes) {
  ExtBuilder b({.fileTypes = fileTypes});
  b.addFolder(2, 2,
              {{11, "lost+found", 2},
               {12, "a.txt", 1},
               {13, "b.txt", 1},
               {14, "link", 7},
               {15, "sock", 6},
               {16, "blk", 4},
               {17, "fifo", 5},
               {19, "typed-dir", 2},
               {32, "last", 1},
               {33, "beyond", 1},
               {18, "after-beyond", 1}});
  b.addFolder(11, 2, {});
  b.addFile(12, bytesOf("alpha"));
  b.addFile(13, bytesOf("beta"));
  ExtInode link;
  link.mode = 0xA1FF;
  link.size = 5;
  std::copy_n("a.txt", 5, link.block.begin());
  b.writeInode(14, link);
  for (const auto &[inode, mode] : std::vector<std::pair<std::uint32_t, std::uint16_t>>{
           {15, 0xC1ED}, {16, 0x61B0}, {17, 0x11A4}}) {
    ExtInode special;
    special.mode = mode;
    b.writeInode(inode, special);
  }
  b.addFile(18, bytesOf("after"));
  b.addFile(19, bytesOf("a file by its mode"));
  b.addFile(32, bytesOf("the last inode"));
  return b;
}

TEST(ExtDirectories, EntryRulesWithAndWithoutFileTypes) {
  {
    SCOPED_TRACE("with file types");
    ExtHarness h(ruleVolume(true));
    ASSERT_TRUE(h.scan());
    // Descending inode order; the root's own node shows as "."; sockets, devices and FIFOs are
    // not shown; the type byte decides between file and folder; an inode beyond the count ends
    // the block.
    EXPECT_EQ(h.listing(), (std::vector<std::string>{"last", "typed-dir/", "link", "b.txt", "a.txt",
                                                     "lost+found/", "./"}));
    EXPECT_EQ(h.saved("last"), bytesOf("the last inode"));
    EXPECT_EQ(h.saved("link"), bytesOf("a.txt")); // a short link keeps its target in the inode
  }
  {
    SCOPED_TRACE("without file types");
    ExtHarness h(ruleVolume(false));
    ASSERT_TRUE(h.scan());
    // The inode's own mode decides, and an inode beyond the count only names nothing.
    EXPECT_EQ(h.listing(), (std::vector<std::string>{"last", "typed-dir", "after-beyond", "link",
                                                     "b.txt", "a.txt", "lost+found/", "./"}));
    EXPECT_EQ(h.saved("typed-dir"), bytesOf("a file by its mode"));
  }
}

TEST(ExtDirectories, DeletedNamesFromSlackLeaveTheLiveListingAlone) {
  ExtBuilder b;
  // Root: live a.txt and b.txt; in their slack: a freed file with its data, a name whose inode
  // now belongs to another file, a stale copy of b.txt's own record, and a removed folder whose
  // freed inode still lists what was deleted with it.
  b.addFolder(2, 2,
              {{12, "a.txt", 1},
               {14, "gone.txt", 1, true},
               {15, "reused.txt", 1, true},
               {13, "b.txt", 1},
               {13, "b.txt", 1, true},
               {16, "old-dir", 2, true},
               {11, "lost+found", 2}});
  b.addFolder(11, 2, {{15, "new.txt", 1}});
  b.addFile(12, bytesOf("alpha"));
  b.addFile(13, bytesOf("beta"));
  b.addFile(15, bytesOf("someone else"));
  ExtInode freed;
  freed.links = 0;
  freed.dtime = 1700000300;
  b.setInUse(b.addFile(14, bytesOf("recoverable"), freed), false);
  b.addFolder(16, 2, {{17, "inner.txt", 1}, {18, "overwritten.txt", 1}}, freed);
  b.setInUse(b.addFile(17, bytesOf("inside the deleted folder"), freed), false);
  b.addFile(18, bytesOf("old bytes"), freed); // its block went to another file since

  ExtHarness h(b);
  ASSERT_TRUE(h.scan());
  const auto listing = h.listing();
  EXPECT_EQ(listing,
            (std::vector<std::string>{"old-dir/*", "old-dir/overwritten.txt*", "old-dir/inner.txt*",
                                      "reused.txt*", "gone.txt*", "b.txt", "a.txt", "lost+found/",
                                      "lost+found/new.txt", "./"}));
  EXPECT_EQ(h.saved("gone.txt"), bytesOf("recoverable"));
  EXPECT_EQ(h.saved("old-dir/inner.txt"), bytesOf("inside the deleted folder"));
  EXPECT_EQ(h.saved("old-dir/overwritten.txt"), std::vector<std::uint8_t>(9, 0));
  // The inode was taken by another file: the name is listed, but that file's data is not its.
  EXPECT_EQ(h.browser.dataSize(h.at("reused.txt")), 0U);
  EXPECT_TRUE(h.saved("reused.txt").empty());
  EXPECT_TRUE(h.browser.times(h.at("reused.txt")).modified == std::nullopt);

  // The same volume without the deleted records lists the same live entries.
  ExtBuilder clean;
  clean.addFolder(2, 2, {{12, "a.txt", 1}, {13, "b.txt", 1}, {11, "lost+found", 2}});
  clean.addFolder(11, 2, {{15, "new.txt", 1}});
  clean.addFile(12, bytesOf("alpha"));
  clean.addFile(13, bytesOf("beta"));
  clean.addFile(15, bytesOf("someone else"));
  ExtHarness c(clean);
  ASSERT_TRUE(c.scan());
  std::vector<std::string> live;
  std::copy_if(listing.begin(), listing.end(), std::back_inserter(live),
               [](const std::string &p) { return p.back() != '*'; });
  EXPECT_EQ(live, c.listing());
}

TEST(ExtDirectories, SixtyFourKiBBlocksKeepLongRecordLengths) {
  // The root's second block holds one record whose length (65536) is stored as 65535, with a
  // deleted record in its slack.
  ExtBuilder b({.blockSize = 65536, .blocksCount = 64, .blocksPerGroup = 64});
  const std::uint64_t first = b.allocate(2);
  b.write(first, b.dirBlock({{2, ".", 2}, {2, "..", 2}, {12, "a.txt", 1}}));
  b.write(first + 1, b.dirBlock({{13, "solo.txt", 1}, {14, "ghost.txt", 1, true}}));
  ExtInode root;
  root.mode = kExtDirMode;
  root.links = 2;
  root.size = 2 * 65536;
  root.block =
      extBlockMap({static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(first + 1)});
  b.writeInode(2, root);
  b.addFile(12, bytesOf("a"));
  b.addFile(13, std::vector<std::uint8_t>(70000, 's'));
  ExtInode freed;
  freed.links = 0;
  freed.dtime = 1;
  b.addFile(14, bytesOf("boo"), freed);
  ExtHarness h(b);
  ASSERT_TRUE(h.scan());
  EXPECT_EQ(h.listing(), (std::vector<std::string>{"ghost.txt*", "solo.txt", "a.txt", "./"}));
  EXPECT_EQ(h.saved("solo.txt"), std::vector<std::uint8_t>(70000, 's'));
}

TEST(ExtHostile, FoldersThatContainThemselvesOrLoopEnd) {
  ExtBuilder b;
  b.addFolder(2, 2, {{12, "self", 2}, {13, "x", 2}, {16, "keep.txt", 1}});
  b.addFolder(12, 2, {{12, "me", 2}, {2, "up", 2}, {16, "inside.txt", 1}});
  b.addFolder(13, 2, {{14, "y", 2}});
  b.addFolder(14, 13, {{13, "x-again", 2}});
  b.addFile(16, bytesOf("kept"));
  ExtHarness h(b);
  ASSERT_TRUE(h.scan());
  // A folder never lists itself or the root. x and y name each other, but x's ".." names the
  // root, so x stays where its parent says; the later hard-link name of keep.txt wins.
  EXPECT_EQ(h.listing(),
            (std::vector<std::string>{"x/", "x/y/", "self/", "self/inside.txt", "./"}));
  EXPECT_EQ(h.saved("self/inside.txt"), bytesOf("kept"));
}

TEST(ExtScan, StatusTextsAndTopLevel) {
  ExtBuilder b;
  b.addFolder(2, 2, {{11, "lost+found", 2}, {12, "docs", 2}, {13, "gone.txt", 1, true}});
  b.addFolder(11, 2, {});
  b.addFolder(12, 2, {{14, "a.txt", 1}});
  b.addFile(14, bytesOf("a"));
  ExtInode freed;
  freed.links = 0;
  freed.dtime = 5;
  b.addFile(13, bytesOf("g"), freed);
  ExtHarness h(b);
  ASSERT_TRUE(h.scan());
  h.parser.reportScanEnd();
  const auto statuses = h.progress.statuses();
  for (const char *text :
       {"parsing group 1  of 1 ", "parsing inode entry 1  of 32 ", "parsed inode entry 32  of 32 ",
        "clearing vector....", "Maintaining Parent Child....",
        "Maintaining Parent Child for record 0 of 6....", "Processing done..."}) {
    EXPECT_TRUE(h.progress.sawStatus(text)) << text;
  }
  ASSERT_EQ(h.progress.messages().size(), 1U);
  EXPECT_EQ(h.progress.messages()[0].text, "done..");

  ItemTree tree;
  h.parser.fillRootItems(tree);
  EXPECT_TRUE(h.progress.sawStatus("filling root entries in  tree...."));
  const ItemHandle root = tree.rootItem();
  EXPECT_EQ(tree.text(root), "ROOT");
  EXPECT_TRUE(tree.expanded(root));
  EXPECT_TRUE(tree.isChecked(root));
  std::vector<std::string> top;
  for (const ItemHandle item : tree.children(root)) {
    top.push_back(tree.text(item) + (tree.hasPlaceholder(item) ? "+" : "") +
                  (tree.deletedLook(item) ? "*" : ""));
  }
  // The empty lost+found gets no expand button; the deleted file is drawn deleted.
  EXPECT_EQ(top, (std::vector<std::string>{"gone.txt*", "docs+", "lost+found", "."}));
}

TEST(ExtScan, RefusesWhatIsNoExtVolume) {
  ExtBuilder b;
  b.addFolder(2, 2, {});
  b.setSuperblockField(0x20, 0, 4); // no blocks per group: no group to describe
  ExtHarness h(b);
  EXPECT_FALSE(h.scan());
  ExtHarness empty(std::make_unique<MemoryReader>(std::vector<std::uint8_t>(2 << 20, 0)),
                   {"extX", "", "0", "2", 0});
  EXPECT_FALSE(empty.scan());
}

} // namespace
} // namespace quillon::test
