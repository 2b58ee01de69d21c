// ext file data: block maps through single, double and triple indirect blocks, extent trees of
// depth 0 and 2 with uninitialised extents, holes as zeros, inline data, hostile trees, the list
// texts and times, and reading nothing from the volume to describe what the scan found.
#include "ext_harness.h"

#include "core/byte_order.h"
#include "core/output_files.h"

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

namespace quillon::test {
namespace {

std::vector<std::uint8_t> fileBytesAt(const std::filesystem::path &p, std::uint64_t offset,
                                      std::size_t count) {
  std::ifstream in(p, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<std::uint8_t> out(count);
  in.read(reinterpret_cast<char *>(out.data()), static_cast<std::streamsize>(count));
  out.resize(static_cast<std::size_t>(in.gcount()));
  return out;
}

std::vector<std::uint8_t> padded(std::string_view text, std::size_t size, std::uint8_t fill = 0) {
  std::vector<std::uint8_t> out(size, fill);
  std::copy(text.begin(), text.end(), out.begin());
  return out;
}

std::filesystem::path savedPath(ExtHarness &h, const std::string &path) {
  const SaveOutcome outcome = h.browser.saveFile(h.at(path), h.out.path());
  EXPECT_TRUE(outcome.written) << outcome.error;
  return outcome.path;
}

TEST(ExtData, BlockMapsThroughEveryIndirectionWithHoles) {
  // 1 KiB blocks: 256 pointers a block. One data block at each level, everything else a hole;
  // in the triple-indirect block a zero pointer comes before the used one.
  ExtBuilder b;
  const auto block = [&](std::string_view text) {
    const std::uint64_t n = b.allocate();
    b.write(n, padded(text, 1024, '.'));
    return static_cast<std::uint32_t>(n);
  };
  const std::uint32_t direct = block("direct");
  const std::uint32_t single = static_cast<std::uint32_t>(b.allocate());
  b.writePointers(single, {{3, block("single")}});
  const std::uint32_t dbl = static_cast<std::uint32_t>(b.allocate());
  const std::uint32_t dblLeaf = static_cast<std::uint32_t>(b.allocate());
  b.writePointers(dbl, {{1, dblLeaf}});
  b.writePointers(dblLeaf, {{2, block("double")}});
  const std::uint32_t triple = static_cast<std::uint32_t>(b.allocate());
  const std::uint32_t tripleMid = static_cast<std::uint32_t>(b.allocate());
  const std::uint32_t tripleLeaf = static_cast<std::uint32_t>(b.allocate());
  b.writePointers(triple, {{0, 0}, {1, tripleMid}});
  b.writePointers(tripleMid, {{0, tripleLeaf}});
  b.writePointers(tripleLeaf, {{5, block("triple")}});

  constexpr std::uint64_t kSingleAt = 12 + 3;
  constexpr std::uint64_t kDoubleAt = 12 + 256 + 256 + 2;
  constexpr std::uint64_t kTripleAt = 12 + 256 + 65536 + 65536 + 5;
  ExtInode deep;
  deep.size = kTripleAt * 1024 + 600;
  deep.block = extBlockMap({direct}, single, dbl, triple);
  b.writeInode(12, deep);
  // Without a double-indirect block the triple-indirect one is still read.
  ExtInode noDouble = deep;
  noDouble.block = extBlockMap({}, 0, 0, triple);
  b.writeInode(13, noDouble);
  b.addFolder(2, 2, {{12, "deep.bin", 1}, {13, "no-double.bin", 1}});

  ExtHarness h(b);
  ASSERT_TRUE(h.scan());
  const auto path = savedPath(h, "deep.bin");
  EXPECT_EQ(std::filesystem::file_size(path), deep.size);
  EXPECT_EQ(fileBytesAt(path, 0, 6), bytesOf("direct"));
  EXPECT_EQ(fileBytesAt(path, 1024, 1024), std::vector<std::uint8_t>(1024, 0)); // a hole
  EXPECT_EQ(fileBytesAt(path, kSingleAt * 1024, 6), bytesOf("single"));
  EXPECT_EQ(fileBytesAt(path, kDoubleAt * 1024, 6), bytesOf("double"));
  EXPECT_EQ(fileBytesAt(path, kDoubleAt * 1024 - 4, 4), std::vector<std::uint8_t>(4, 0));
  EXPECT_EQ(fileBytesAt(path, kTripleAt * 1024, 600), padded("triple", 600, '.'));
  const auto other = savedPath(h, "no-double.bin");
  EXPECT_EQ(fileBytesAt(other, 0, 6), std::vector<std::uint8_t>(6, 0));
  EXPECT_EQ(fileBytesAt(other, kTripleAt * 1024, 6), bytesOf("triple"));
}

TEST(ExtData, ExtentTreesOfDepthZeroAndTwo) {
  ExtBuilder b;
  const auto data = [&](std::string_view text, std::uint64_t blocks = 1) {
    const std::uint64_t n = b.allocate(blocks);
    for (std::uint64_t i = 0; i < blocks; ++i) {
      b.write(n + i, padded(std::string(text) + std::to_string(i), 1024, '-'));
    }
    return n;
  };
  // Depth 0: two blocks, a hole, an uninitialised extent (zeros whatever its blocks hold),
  // another hole, a last block cut by the size.
  ExtInode flat;
  flat.flags = 0x80000;
  flat.size = 5 * 1024 + 10;
  flat.block =
      extExtentRoot(0, {{0, data("a", 2), 2}, {3, data("stale"), 1, true}, {5, data("z"), 1}});
  b.writeInode(12, flat);
  // Depth 2: the root indexes two nodes of depth 1, which index three leaves.
  const std::uint64_t i1 = b.allocate();
  const std::uint64_t i2 = b.allocate();
  const std::uint64_t l1 = b.allocate();
  const std::uint64_t l2 = b.allocate();
  const std::uint64_t l3 = b.allocate();
  b.writeExtentNode(i1, 1, {{0, l1}, {10, l2}});
  b.writeExtentNode(i2, 1, {{100, l3}});
  b.writeExtentNode(l1, 0, {{0, data("p", 2), 2}});
  b.writeExtentNode(l2, 0, {{10, data("q"), 1}});
  b.writeExtentNode(l3, 0, {{100, data("r"), 1}});
  ExtInode tree;
  tree.flags = 0x80000;
  tree.size = 101 * 1024;
  tree.block = extExtentRoot(2, {{0, i1}, {100, i2}});
  b.writeInode(13, tree);
  b.addFolder(2, 2, {{12, "flat.bin", 1}, {13, "tree.bin", 1}});

  ExtHarness h(b);
  ASSERT_TRUE(h.scan());
  std::vector<std::uint8_t> expected;
  for (const auto &piece : {padded("a0", 1024, '-'), padded("a1", 1024, '-'),
                            std::vector<std::uint8_t>(3 * 1024, 0), padded("z0", 10, '-')}) {
    expected.insert(expected.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(h.saved("flat.bin"), expected);
  const auto path = savedPath(h, "tree.bin");
  EXPECT_EQ(std::filesystem::file_size(path), 101U * 1024);
  for (const auto &[block, text] :
       std::vector<std::pair<std::uint64_t, std::string>>{{0, "p0"},
                                                          {1, "p1"},
                                                          {10, "q0"},
                                                          {100, "r0"},
                                                          {2, std::string(2, '\0')},
                                                          {99, std::string(2, '\0')}}) {
    EXPECT_EQ(fileBytesAt(path, block * 1024, 2), bytesOf(text)) << block;
  }
}

TEST(ExtHostile, TreesThatPointBackIntoThemselvesAreReadOnce) {
  ExtBuilder b;
  const std::uint64_t leafData = b.allocate();
  b.write(leafData, padded("leaf", 1024, '#'));
  // An index node whose first entry names its own block, then a proper leaf.
  const std::uint64_t index = b.allocate();
  const std::uint64_t leaf = b.allocate();
  b.writeExtentNode(index, 1, {{0, index}, {1, leaf}});
  b.writeExtentNode(leaf, 0, {{1, leafData, 1}});
  ExtInode looped;
  looped.flags = 0x80000;
  looped.size = 2 * 1024;
  looped.block = extExtentRoot(2, {{0, index}});
  b.writeInode(12, looped);
  // A double-indirect block that lists itself, then a single-indirect block with data.
  const std::uint64_t dbl = b.allocate();
  const std::uint64_t single = b.allocate();
  b.writePointers(dbl,
                  {{0, static_cast<std::uint32_t>(dbl)}, {1, static_cast<std::uint32_t>(single)}});
  b.writePointers(single, {{0, static_cast<std::uint32_t>(leafData)}});
  ExtInode mapped;
  mapped.size = (12 + 256 + 256 + 1) * 1024;
  mapped.block = extBlockMap({}, 0, static_cast<std::uint32_t>(dbl));
  b.writeInode(13, mapped);
  // A record whose length runs past its block ends the walk of that block; the records it
  // hides are searched like any slack.
  std::vector<std::uint8_t> folder =
      b.dirBlock({{2, ".", 2}, {2, "..", 2}, {12, "looped", 1}, {13, "mapped", 1}});
  putLe(folder, 12 + 12 + 4, 4000, 2); // "looped"'s record length
  const std::uint64_t root = b.allocate();
  b.write(root, folder);
  ExtInode rootInode;
  rootInode.mode = kExtDirMode;
  rootInode.links = 2;
  rootInode.size = 1024;
  rootInode.block = extBlockMap({static_cast<std::uint32_t>(root)});
  b.writeInode(2, rootInode);

  ExtHarness h(b);
  ASSERT_TRUE(h.scan());
  EXPECT_EQ(h.listing(), (std::vector<std::string>{"mapped*", "looped", "./"}));
  EXPECT_EQ(h.saved("looped"), [] {
    auto v = std::vector<std::uint8_t>(1024, 0);
    const auto leafBytes = padded("leaf", 1024, '#');
    v.insert(v.end(), leafBytes.begin(), leafBytes.end());
    return v;
  }());
  // The block map is read through the same walk: its self-listed block is a hole.
  const std::vector<std::uint8_t> inode = h.parser.readInode(13);
  const ext::DataMap map = h.parser.mapData(inode);
  ASSERT_EQ(map.extents.size(), 1U);
  EXPECT_EQ(map.extents[0].logical, 12U + 256 + 256);
  EXPECT_EQ(map.extents[0].physical, leafData);
}

TEST(ExtData, InlineFilesAndFolders) {
  ExtBuilder b;
  std::vector<std::uint8_t> text(100);
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<std::uint8_t>('A' + i % 26);
  }
  ExtInode file;
  extSetInline(file, text);
  b.writeInode(12, file);
  // An inline folder: its parent, then records in i_block and in "system.data".
  std::vector<std::uint8_t> folder(4, 0);
  putLe(folder, 0, 2, 4);
  const auto head = b.dirBlock({{14, "in.txt", 1}}, 56);
  const auto rest = b.dirBlock({{15, "more.txt", 1}}, 20);
  folder.insert(folder.end(), head.begin(), head.end());
  folder.insert(folder.end(), rest.begin(), rest.end());
  ExtInode dir;
  dir.mode = kExtDirMode;
  dir.links = 2;
  extSetInline(dir, folder);
  b.writeInode(13, dir);
  b.addFile(14, bytesOf("in"));
  b.addFile(15, bytesOf("more"));
  b.addFolder(2, 2, {{12, "inline.txt", 1}, {13, "inline-dir", 2}});

  ExtHarness h(b);
  ASSERT_TRUE(h.scan());
  EXPECT_EQ(h.listing(), (std::vector<std::string>{"inline-dir/", "inline-dir/more.txt",
                                                   "inline-dir/in.txt", "inline.txt", "./"}));
  EXPECT_EQ(h.saved("inline.txt"), text);
  EXPECT_EQ(h.saved("inline-dir/more.txt"), bytesOf("more"));
}

TEST(ExtData, TextsTimesAndTheLastPartialBlock) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  ExtBuilder b({.blockSize = 4096, .blocksCount = 512, .blocksPerGroup = 32768});
  ExtInode file;
  file.mode = 0x81ED; // 0755
  file.tail.assign(32, 0);
  putLe(file.tail, 0, 32, 2);
  putLe(file.tail, 0x88 - 128, std::uint64_t{123456789} << 2, 4); // mtime nanoseconds
  putLe(file.tail, 0x8C - 128, (std::uint64_t{5} << 2) | 1, 4);   // atime: 2^32 s later
  std::vector<std::uint8_t> data(5000);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i * 7);
  }
  std::vector<std::uint8_t> twoBlocks = data;
  twoBlocks.resize(8192, 0xEE); // what lies behind the end of the file in its last block
  const std::uint64_t first = b.allocate(2);
  b.write(first, twoBlocks);
  file.size = 5000;
  file.block =
      extBlockMap({static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(first + 1)});
  b.writeInode(12, file);
  ExtInode bare;
  bare.mode = 0x8000; // no permission bits
  b.writeInode(13, bare);
  b.addFolder(2, 2, {{12, "exec.bin", 1}, {13, "bare", 1}});

  ExtHarness h(b);
  ASSERT_TRUE(h.scan());
  const ListTexts texts = h.browser.listTexts(h.at("exec.bin"));
  EXPECT_EQ(texts.created, "11/14/2023  10:15 PM");  // i_ctime 1700000100
  EXPECT_EQ(texts.modified, "11/14/2023  10:16 PM"); // i_mtime 1700000200
  EXPECT_EQ(texts.attributes, "-OE-OR-GE-GR-UE-UW-UR");
  EXPECT_EQ(texts.size, "4.88 KB");
  EXPECT_EQ(h.browser.listTexts(h.at("bare")).attributes, "");
  EXPECT_EQ(h.browser.listTexts(h.at("bare")).size, "0 Bytes");

  const auto path = savedPath(h, "exec.bin");
  EXPECT_EQ(readFileBytes(path), data);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1700000200);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
  EXPECT_EQ(st.st_atim.tv_sec, 1700000000 + (std::int64_t{1} << 32));
  EXPECT_EQ(st.st_atim.tv_nsec, 5);
}

TEST(ExtData, DescribingWhatTheScanFoundReadsNothing) {
  ExtBuilder b;
  std::vector<ExtRecord> records;
  for (std::uint32_t i = 12; i < 30; ++i) {
    records.push_back({i, "f" + std::to_string(i), 1});
    b.addFile(i, bytesOf("file " + std::to_string(i)));
  }
  b.addFolder(2, 2, records);
  auto disk = b.sparseDisk();
  SparseDisk &counted = *disk;
  ExtHarness h(std::move(disk), b.record());
  ASSERT_TRUE(h.scan());
  const std::uint64_t afterScan = counted.reads();
  (void)listBelow(h.browser, ListedEntry{}, true, &h.control, [&](const ListedEntry &e) {
    (void)h.browser.listTexts(e.record);
    (void)h.browser.times(e.record);
    (void)h.browser.dataSize(e.record);
  });
  EXPECT_EQ(counted.reads(), afterScan);
  // Saving reads the file's inode-table block once for neighbouring inodes, and its data.
  EXPECT_EQ(h.saved("f13"), bytesOf("file 13"));
  EXPECT_EQ(h.saved("f14"), bytesOf("file 14"));
  EXPECT_EQ(counted.reads(), afterScan + 3);
}

} // namespace
} // namespace quillon::test
