// HFS+ scans over built volumes: catalog records into the CNID map, the order of the chains and
// of the top level, catalog files in many pieces, the deep mode's grouping and its preference for
// live records, and damaged B-trees that must neither hang nor crash the scan.
#include "hfs_harness.h"

#include "core/byte_order.h"

#include <algorithm>
#include <functional>

namespace quillon::test {
namespace {

using Paths = std::vector<std::string>;

HfsFileLayout fileOf(std::string_view text) { return fileWith(bytesOf(text)); }

// The volume offset of the catalog leaf record whose CNID is cnid, and where its entry in the
// node's offset table lies.
struct RecordPlace {
  std::uint64_t node = 0;
  std::uint64_t tableEntry = 0;
  std::uint16_t offset = 0;
};
RecordPlace findRecord(const std::vector<std::uint8_t> &image, const HfsBuilder &b,
                       std::uint32_t cnid) {
  const std::uint32_t nodeSize = b.options().catalogNodeSize;
  for (const std::uint32_t leaf : b.layout.catalogLeaves) {
    const std::uint64_t at = b.layout.catalogNodes.at(leaf);
    const Bytes node(image.data() + at, nodeSize);
    for (std::size_t r = 0; r < be16(node, 10); ++r) {
      const std::uint16_t off = be16(node, nodeSize - 2 * (r + 1));
      const std::size_t rec = off + 2 + be16(node, off);
      if ((be16(node, rec) == 1 || be16(node, rec) == 2) && be32(node, rec + 8) == cnid) {
        return {at, at + nodeSize - 2 * (r + 1), off};
      }
    }
  }
  ADD_FAILURE() << "no record of CNID " << cnid;
  return {};
}

// A folder's children come in descending CNID order; ROOT's come in ascending CNID order, as the
// top level follows the map, not a chain.
TEST(HfsScan, ChainsAreInDescendingAndTheTopLevelInAscendingCnidOrder) {
  HfsBuilder b;
  const std::uint32_t docs = b.addFolder(kHfsRootFolderId, "Docs", 16);
  b.addFile(docs, "a.txt", fileOf("a"), 22);
  b.addFile(docs, "b.txt", fileOf("b"), 20);
  b.addFile(docs, "c.txt", fileOf("c"), 21);
  b.addFile(kHfsRootFolderId, "z.txt", fileOf("z"), 30);
  b.addFile(kHfsRootFolderId, "y.txt", fileOf("y"), 31);
  b.addFolder(kHfsRootFolderId, "Empty", 40);
  HfsHarness h(b);
  ASSERT_TRUE(h.scan());
  EXPECT_EQ(h.listing(),
            (Paths{"Docs/", "Docs/a.txt", "Docs/c.txt", "Docs/b.txt", "z.txt", "y.txt", "Empty/"}));

  ItemTree tree;
  h.parser.fillHfsRootItems(tree);
  const ItemHandle root = tree.rootItem();
  ASSERT_EQ(tree.children(root).size(), 4U);
  const auto child = [&](std::size_t i) { return tree.children(root)[i]; };
  EXPECT_EQ(tree.text(child(0)), "Docs");
  EXPECT_TRUE(tree.hasPlaceholder(child(0)));
  EXPECT_EQ(tree.data(child(1)), ItemData{std::uint32_t{30}});
  EXPECT_EQ(tree.text(child(3)), "Empty");
  EXPECT_FALSE(tree.hasChildren(child(3))); // no expand button for an empty folder
  EXPECT_TRUE(tree.expanded(root));
  // The number is the node's place in the map (the root folder's own record is place 0).
  EXPECT_TRUE(h.progress.sawStatus("found folder at Node 1"));
  EXPECT_TRUE(h.progress.sawStatus("found file at Node 5"));
  EXPECT_TRUE(h.progress.sawStatus("found folder at Node 7"));
  EXPECT_TRUE(h.progress.sawStatus("Maintaining Parent Child for record 0 of 8...."));
  h.parser.reportScanEnd();
  EXPECT_EQ(h.progress.statuses().back(), "Scanning process Done.");
}

// The catalog file in thirty pieces of half a node each (those past the eight of the volume
// header continue in three extents-overflow records), with foreign blocks between them: nodes
// straddle pieces, and every file record lies in a node past the eighth piece. Read as one
// contiguous run, or from the header's extents alone, the catalog would lose them.
TEST(HfsScan, ReadsACatalogFileThroughAllItsExtents) {
  HfsBuildOptions o;
  o.blockSize = 512;
  o.catalogFragments = 30;
  o.recordsPerLeaf = 4;
  HfsBuilder b(o);
  std::vector<std::string> expected;
  const std::uint32_t docs = b.addFolder(kHfsRootFolderId, "Docs");
  expected.push_back("Docs/");
  for (int i = 0; i < 20; ++i) {
    b.addFile(docs, "f" + std::to_string(i), fileOf("data " + std::to_string(i)));
  }
  for (int i = 19; i >= 0; --i) {
    expected.push_back("Docs/f" + std::to_string(i));
  }
  HfsHarness h(b);
  ASSERT_EQ(b.layout.catalogExtents.size(), 30U);
  ASSERT_GT(b.layout.catalogLeaves.size(), 4U);
  ASSERT_TRUE(h.scan());
  EXPECT_EQ(h.listing(), expected);
  EXPECT_EQ(h.saved("Docs/f13"), bytesOf("data 13"));
}

// Volumes the system can make but the old limits refused: blocks of 8 KiB, and catalog nodes
// smaller than a block (the deep scan then looks at every node boundary, not only blocks).
TEST(HfsScan, ReadsLargeBlocksAndNodesSmallerThanABlock) {
  for (const HfsScanMode mode : {HfsScanMode::Standard, HfsScanMode::Deep}) {
    HfsBuildOptions o;
    o.blockSize = 8192;
    o.recordsPerLeaf = 3;
    HfsBuilder b(o);
    const std::uint32_t docs = b.addFolder(kHfsRootFolderId, "Docs");
    for (int i = 0; i < 6; ++i) {
      b.addFile(docs, "f" + std::to_string(i), fileOf("x" + std::to_string(i)));
    }
    HfsHarness h(b);
    ASSERT_TRUE(h.scan(mode));
    const auto listing = h.listing();
    EXPECT_EQ(std::count_if(listing.begin(), listing.end(),
                            [](const std::string &p) { return p.starts_with("Docs/f"); }),
              6);
    EXPECT_EQ(h.saved("Docs/f4"), bytesOf("x4"));
  }
}

// Block sizes that are no power of two or out of range, and a catalog header node without a
// usable node size, refuse the volume with the scan's texts.
TEST(HfsScan, RefusesUnusableGeometry) {
  struct Case {
    const char *what;
    std::uint32_t blockSize;
    std::uint16_t nodeSize;
  };
  for (const Case c :
       {Case{"no block size", 0, 4096}, Case{"odd block size", 3000, 4096},
        Case{"huge block size", 1U << 20, 4096}, Case{"odd node size", 4096, 1000}}) {
    SCOPED_TRACE(c.what);
    for (const HfsScanMode mode : {HfsScanMode::Standard, HfsScanMode::Deep}) {
      HfsBuilder b;
      b.addFile(kHfsRootFolderId, "a.txt", fileOf("a"));
      std::vector<std::uint8_t> image = b.build();
      putBe(image, 1024 + 0x28, c.blockSize, 4);
      putBe(image, b.layout.catalogNodes[0] + 32, c.nodeSize, 2);
      HfsHarness h(std::move(image), b.record());
      EXPECT_FALSE(h.scan(mode));
      EXPECT_EQ(h.progress.statuses().back(), "Scanning process Aborted....");
      if (mode == HfsScanMode::Deep) {
        EXPECT_TRUE(h.progress.sawStatus("BlockSize not valid .Aborting.."));
      }
      EXPECT_TRUE(h.listing().empty());
    }
  }
}

// A record of a freed leaf node (off the leaf chain) is a deleted file; a live record of the
// same CNID wins over such a copy in either mode.
TEST(HfsScan, RecordsOfFreedNodesAreDeleted) {
  HfsBuilder b;
  const std::uint32_t docs = b.addFolder(kHfsRootFolderId, "Docs");
  b.addFile(docs, "live.txt", fileOf("live"));
  b.addDeletedFile(docs, "gone.txt", fileOf("gone"));
  for (const HfsScanMode mode : {HfsScanMode::Standard, HfsScanMode::Deep}) {
    HfsHarness h(b);
    ASSERT_TRUE(h.scan(mode));
    const auto listing = h.listing();
    EXPECT_NE(std::find(listing.begin(), listing.end(), "Docs/gone.txt*"), listing.end());
    EXPECT_NE(std::find(listing.begin(), listing.end(), "Docs/live.txt"), listing.end());
    EXPECT_EQ(h.saved("Docs/gone.txt"), bytesOf("gone"));
  }
}

// The deep mode finds copies of catalog nodes anywhere on the volume (as a journal holds them).
// A copy met before the catalog cannot rename a live file; a record only the copy has is a
// deleted file.
TEST(HfsScan, DeepModePrefersLiveRecordsOverOlderCopies) {
  HfsBuilder b;
  const std::uint32_t docs = b.addFolder(kHfsRootFolderId, "Docs");
  const std::uint32_t a = b.addFile(docs, "a.txt", fileOf("a"));
  const std::uint32_t bb = b.addFile(docs, "b.txt", fileOf("b"));
  std::vector<std::uint8_t> image = b.build();
  // The copy goes into a free node of the extents file, which lies before the catalog.
  const std::uint64_t leaf = b.layout.catalogNodes.at(b.layout.catalogLeaves.at(0));
  const std::uint64_t copy = b.layout.extentsNodes.at(2);
  ASSERT_LT(copy, leaf);
  std::copy_n(image.begin() + static_cast<long>(leaf), 4096,
              image.begin() + static_cast<long>(copy));
  const RecordPlace ra = findRecord(image, b, a);
  image[copy + ra.offset + 9] = 'q'; // "a.txt" becomes "q.txt" in the copy
  const RecordPlace rb = findRecord(image, b, bb);
  const std::uint64_t rbRecord = copy + rb.offset + 2 + be16(image, rb.node + rb.offset);
  putBe(image, rbRecord + 8, 77, 4); // b.txt under another CNID in the copy

  HfsHarness h(std::move(image), b.record());
  ASSERT_TRUE(h.scan(HfsScanMode::Deep));
  EXPECT_EQ(h.listing(),
            (Paths{"Docs/", "Docs/b.txt*", "Docs/b.txt", "Docs/a.txt", "ORPHAN_ENTRY/"}));
}

// The deep mode keeps every record under the folder its key names; records whose folder was not
// found gather under ORPHAN_ENTRY (which takes the CNID after the greatest one), and folders
// whose parents loop are given to it too instead of vanishing.
TEST(HfsScan, DeepModeGathersWhatHasNoFolderUnderOrphanEntry) {
  HfsBuilder b;
  const std::uint32_t docs = b.addFolder(kHfsRootFolderId, "Docs", 16);
  b.addFile(docs, "a.txt", fileOf("a"), 17);
  b.addFile(kHfsRootFolderId, "top.txt", fileOf("t"), 18);
  const std::uint32_t lost = b.addFolder(900, "Lost", 19);
  b.addFile(lost, "inside.txt", fileOf("i"), 20);
  b.addFile(901, "stray.txt", fileOf("s"), 21);
  b.addFolder(22, "Self", 22);  // its own parent
  b.addFolder(24, "LoopA", 23); // LoopA and LoopB are each other's parent
  b.addFolder(23, "LoopB", 24);
  b.addFile(22, "kept.txt", fileOf("k"), 25);

  HfsHarness standard(b);
  ASSERT_TRUE(standard.scan());
  // The standard mode shows only what hangs below the root folder.
  EXPECT_EQ(standard.listing(), (Paths{"Docs/", "Docs/a.txt", "top.txt"}));

  HfsHarness deep(b);
  ASSERT_TRUE(deep.scan(HfsScanMode::Deep));
  EXPECT_EQ(
      deep.listing(),
      (Paths{"Docs/", "Docs/a.txt", "top.txt", "ORPHAN_ENTRY/", "ORPHAN_ENTRY/LoopA/",
             "ORPHAN_ENTRY/LoopA/LoopB/", "ORPHAN_ENTRY/Self/", "ORPHAN_ENTRY/Self/kept.txt",
             "ORPHAN_ENTRY/stray.txt", "ORPHAN_ENTRY/Lost/", "ORPHAN_ENTRY/Lost/inside.txt"}));
  EXPECT_EQ(deep.parser.orphanId(), std::optional<std::uint32_t>(26));
  EXPECT_EQ(deep.browser.orphanFolder(), std::optional<ItemData>(std::uint32_t{26}));
  const auto found = findPath(deep.browser, {"ORPHAN_ENTRY", "Lost", "inside.txt"});
  ASSERT_EQ(found.size(), 1U);
  EXPECT_EQ(deep.saved("ORPHAN_ENTRY/Self/kept.txt"), bytesOf("k"));
}

// Damaged B-trees: leaf links that loop, a record offset past the node, a record that runs into
// the node's offset table, a node count far beyond the file. The scan ends and keeps every other
// record.
TEST(HfsScan, DamagedNodesCostOnlyTheirRecords) {
  HfsBuildOptions o;
  o.recordsPerLeaf = 3;
  HfsBuilder b(o);
  const std::uint32_t docs = b.addFolder(kHfsRootFolderId, "Docs");
  std::vector<std::uint32_t> ids;
  for (int i = 0; i < 8; ++i) {
    ids.push_back(b.addFile(docs, "f" + std::to_string(i), fileOf("d" + std::to_string(i))));
  }
  const std::vector<std::uint8_t> clean = b.build();
  ASSERT_GT(b.layout.catalogLeaves.size(), 2U);
  const std::uint64_t first = b.layout.catalogNodes.at(b.layout.catalogLeaves.front());
  const std::uint64_t last = b.layout.catalogNodes.at(b.layout.catalogLeaves.back());
  // The damaged records are not the first of their nodes: the deep scan takes a node only when
  // its first record starts right after the descriptor.

  struct Case {
    const char *what;
    std::function<void(std::vector<std::uint8_t> &)> damage;
    std::vector<int> missing; // files no longer listed
  };
  const std::vector<Case> cases = {
      {"forward link to itself",
       [&](auto &img) { putBe(img, last, b.layout.catalogLeaves.back(), 4); },
       {}},
      {"forward link back to the first leaf",
       [&](auto &img) { putBe(img, last, b.layout.catalogLeaves.front(), 4); },
       {}},
      {"forward link past the tree", [&](auto &img) { putBe(img, first, 0xFFFFFF, 4); }, {}},
      {"record offset past the node",
       [&](auto &img) { putBe(img, findRecord(clean, b, ids[6]).tableEntry, 0xFFF0, 2); },
       {6}},
      {"record running into the offset table",
       [&](auto &img) {
         // The record's first 100 bytes just before the table; the rest would be the table.
         const RecordPlace p = findRecord(clean, b, ids[3]);
         const std::uint64_t tableStart = 4096 - 2 * (be16(img, p.node + 10) + 1);
         std::copy_n(clean.begin() + static_cast<long>(p.node + p.offset), 100,
                     img.begin() + static_cast<long>(p.node + tableStart - 100));
         putBe(img, p.tableEntry, tableStart - 100, 2);
       },
       {3}},
      {"node count beyond the file",
       [&](auto &img) { putBe(img, b.layout.catalogNodes[0] + 36, 0xFFFFFFFF, 4); },
       {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> image = clean;
    c.damage(image);
    for (const HfsScanMode mode : {HfsScanMode::Standard, HfsScanMode::Deep}) {
      HfsHarness h(image, b.record());
      ASSERT_TRUE(h.scan(mode));
      const auto listing = h.listing();
      for (int i = 0; i < 8; ++i) {
        const bool listed = std::find(listing.begin(), listing.end(),
                                      "Docs/f" + std::to_string(i)) != listing.end();
        const bool gone = std::find(c.missing.begin(), c.missing.end(), i) != c.missing.end();
        EXPECT_EQ(listed, !gone) << "f" << i;
      }
    }
  }
}

} // namespace
} // namespace quillon::test
