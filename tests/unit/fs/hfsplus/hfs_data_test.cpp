// HFS+ files over built volumes: the list texts (1904 dates, permissions, sizes), saving through
// the data fork's extents and the extents overflow, hostile forks, hard links, compressed files,
// names as stored, and the shared folder save and search over the adapter.
#include "hfs_harness.h"

#include "browse/save_folder.h"
#include "browse/search.h"
#include "browse/tree_growth.h"
#include "core/byte_order.h"
#include "core/output_files.h"

#include <sys/stat.h>

#include <filesystem>

namespace quillon::test {
namespace {

HfsFileLayout fileOf(std::string_view text) { return fileWith(bytesOf(text)); }

struct stat statOf(const std::filesystem::path &p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st;
}

// Dates count seconds from 1904 and show in local time (UTC here); a date of 0 is no date.
TEST(HfsData, TextsAndTimesComeFrom1904Dates) {
  HfsBuilder b;
  HfsFileLayout s = fileWith(patternBytes(10000));
  s.fileMode = 0100755;
  b.addFile(kHfsRootFolderId, "report.bin", s);
  HfsFileLayout undated = fileOf("x");
  undated.createDate = 0;
  undated.fileMode = 0100640;
  b.addFile(kHfsRootFolderId, "undated.txt", undated);
  HfsHarness h(b);
  ASSERT_TRUE(h.scan());

  const ListTexts t = h.browser.listTexts(h.at("report.bin"));
  EXPECT_EQ(t.created, "09/13/2020  12:26 AM"); // 1600000000: 12:26, which the lists show as AM
  EXPECT_EQ(t.accessed, "11/14/2023  10:16 PM");
  EXPECT_EQ(t.modified, "11/14/2023  10:13 PM");
  EXPECT_EQ(t.size, "9.77 KB");
  EXPECT_EQ(t.attributes, "-Owner:X-Owner:W-Owner:R-OX-OR-GX-GR");
  const EntryTimes times = h.browser.times(h.at("report.bin"));
  EXPECT_EQ(times.created, std::optional<std::int64_t>(1600000000));
  EXPECT_EQ(times.modified, std::optional<std::int64_t>(1700000000));
  EXPECT_EQ(times.accessed, std::optional<std::int64_t>(1700000200));

  const ListTexts u = h.browser.listTexts(h.at("undated.txt"));
  EXPECT_EQ(u.created, "");
  EXPECT_EQ(u.size, "1 Bytes");
  EXPECT_EQ(u.attributes, "-Owner:W-Owner:R-GR");
  EXPECT_FALSE(h.browser.times(h.at("undated.txt")).created);
}

// The data fork is read through its extents and cut at its size; the saved file gets the
// content's modification time and the access time. Files of more than eight extents continue
// in the extents overflow; an empty file is created empty.
TEST(HfsData, SavesTheDataForkThroughAllItsExtents) {
  HfsBuilder b;
  b.addFile(kHfsRootFolderId, "small.bin", fileWith(patternBytes(10000, 1)));
  HfsFileLayout fragmented = fileWith(patternBytes(20 * 4096 + 100, 2));
  fragmented.fragments = 21;
  b.addFile(kHfsRootFolderId, "fragmented.bin", fragmented);
  b.addFile(kHfsRootFolderId, "empty.txt", HfsFileLayout());
  HfsHarness h(b);
  ASSERT_TRUE(h.scan());
  ASSERT_GT(h.parser.overflowIndex.size(), 1U);

  // Times are looked at before anything reads the file back (reading moves the access time).
  const SaveOutcome small = h.browser.saveFile(h.at("small.bin"), h.out.path());
  ASSERT_TRUE(small.written) << small.error;
  const struct stat st = statOf(small.path);
  EXPECT_EQ(st.st_mtime, 1700000000);
  EXPECT_EQ(st.st_atime, 1700000200);
  EXPECT_EQ(readFileBytes(small.path), patternBytes(10000, 1)); // 4096 + 4096 + 1808 bytes
  EXPECT_EQ(h.saved("fragmented.bin"), patternBytes(20 * 4096 + 100, 2));
  EXPECT_TRUE(h.saved("empty.txt").empty());
  EXPECT_TRUE(std::filesystem::is_regular_file(h.out / "empty.txt"));
}

// A missing overflow record leaves the file with the blocks found so far; an overflow record
// that adds no blocks ends the lookup.
TEST(HfsData, AnOverflowRecordThatIsMissingOrEmptyEndsTheFile) {
  HfsBuilder b;
  HfsFileLayout fragmented = fileWith(patternBytes(12 * 4096, 3));
  fragmented.fragments = 12;
  const std::uint32_t id = b.addFile(kHfsRootFolderId, "f.bin", fragmented);
  const std::vector<std::uint8_t> clean = b.build();
  // The one overflow record of the file (the extents file's first leaf is node 1).
  const std::uint64_t leaf = b.layout.extentsNodes.at(1);
  const std::uint64_t record = leaf + be16(clean, leaf + 4096 - 2);
  ASSERT_EQ(be32(clean, record + 4), id);
  const auto expectShort = [&](std::vector<std::uint8_t> image) {
    HfsHarness h(std::move(image), b.record());
    ASSERT_TRUE(h.scan());
    const std::vector<std::uint8_t> whole = patternBytes(12 * 4096, 3);
    EXPECT_EQ(h.saved("f.bin"), std::vector<std::uint8_t>(whole.begin(), whole.begin() + 8 * 4096));
  };
  std::vector<std::uint8_t> missing = clean;
  putBe(missing, record + 8, 9999, 4); // starts at another block: no record for block 8
  expectShort(missing);
  std::vector<std::uint8_t> empty = clean;
  std::fill_n(empty.begin() + static_cast<long>(record + 12), 64, 0);
  expectShort(empty);
}

// Sizes and extents from a hostile record: what is written never exceeds the disk, extents past
// the disk read as zeros, and a size below the extents cuts the data.
TEST(HfsData, HostileForksAreBounded) {
  HfsBuilder b;
  HfsFileLayout huge = fileWith(patternBytes(4096, 4));
  huge.logicalSize = std::uint64_t{1} << 40;
  const std::uint32_t hugeId = b.addFile(kHfsRootFolderId, "huge.bin", huge);
  HfsFileLayout cut = fileWith(patternBytes(8192, 5));
  cut.logicalSize = 5000;
  b.addFile(kHfsRootFolderId, "cut.bin", cut);
  std::vector<std::uint8_t> image = b.build();
  const std::uint64_t diskBytes = image.size();
  // huge.bin: one extent from block 1 over 2^32 - 1 blocks, then one far past the disk.
  for (const std::uint32_t leaf : b.layout.catalogLeaves) {
    const std::uint64_t at = b.layout.catalogNodes[leaf];
    for (std::size_t r = 0; r < be16(image, at + 10); ++r) {
      const std::uint64_t rec = at + be16(image, at + 4096 - 2 * (r + 1));
      const std::uint64_t data = rec + 2 + be16(image, rec);
      if (be16(image, data) == 2 && be32(image, data + 8) == hugeId) {
        putBe(image, data + 0x64, 0xFFFFFFFF, 4);
        putBe(image, data + 0x68, 1, 4);
        putBe(image, data + 0x6C, 0xFFFFFFFF, 4);
        putBe(image, data + 0x70, 0xFFFFFF00, 4);
        putBe(image, data + 0x74, 16, 4);
      }
    }
  }
  HfsHarness h(std::move(image), b.record());
  ASSERT_TRUE(h.scan());
  EXPECT_LE(h.saved("huge.bin").size(), diskBytes);
  const std::vector<std::uint8_t> cutData = patternBytes(8192, 5);
  EXPECT_EQ(h.saved("cut.bin"), std::vector<std::uint8_t>(cutData.begin(), cutData.begin() + 5000));
}

// A hard link is read through its inode file in the private folder (named for the link's inode
// number); a link whose inode file is gone is a clear error, and no file is written.
TEST(HfsData, HardLinksReadTheirInodeFile) {
  HfsBuilder b;
  const std::uint32_t priv =
      b.addFolder(kHfsRootFolderId, std::string("\0\0\0\0HFS+ Private Data", 21));
  HfsFileLayout inode = fileOf("shared bytes");
  inode.contentModDate = hfsDate(1690000000);
  b.addFile(priv, "iNode40", inode, 40);
  const std::uint32_t docs = b.addFolder(kHfsRootFolderId, "Docs");
  b.addHardLink(kHfsRootFolderId, "link1", 40);
  b.addHardLink(docs, "link2", 40);
  b.addHardLink(docs, "broken", 41);
  HfsHarness h(b);
  ASSERT_TRUE(h.scan());
  EXPECT_EQ(h.saved("link1"), bytesOf("shared bytes"));
  EXPECT_EQ(h.saved("Docs/link2"), bytesOf("shared bytes"));
  EXPECT_EQ(h.browser.dataSize(h.at("Docs/link2")), 12U);
  EXPECT_EQ(h.browser.times(h.at("link1")).modified, std::optional<std::int64_t>(1690000000));
  EXPECT_EQ(statOf(h.out / "link1").st_mtime, 1690000000);
  EXPECT_EQ(h.saved("\u2400\u2400\u2400\u2400HFS+ Private Data/iNode40"), bytesOf("shared bytes"));

  const SaveOutcome broken = h.browser.saveFile(h.at("Docs/broken"), h.out.path());
  EXPECT_FALSE(broken.written);
  EXPECT_EQ(broken.error, "a hard link whose inode file iNode41 was not found");
  EXPECT_FALSE(std::filesystem::exists(h.out / "broken"));
}

// Compressed files: zlib data in the attribute, or 64 KiB zlib chunks in the resource fork (a
// chunk that would not shrink stored plainly). Other methods are reported, not written.
TEST(HfsData, CompressedFilesAreDecompressedOrReported) {
  std::vector<std::uint8_t> text;
  for (int i = 0; i < 200; ++i) {
    const std::string line = "line " + std::to_string(i) + " of a compressible file\n";
    text.insert(text.end(), line.begin(), line.end());
  }
  std::vector<std::uint8_t> mixed(65536, 'a');
  const std::vector<std::uint8_t> noise = patternBytes(20000, 6);
  mixed.insert(mixed.end(), noise.begin(), noise.end());

  HfsBuilder b;
  b.addCompressedFile(kHfsRootFolderId, "inline.txt", text, 3);
  b.addCompressedFile(kHfsRootFolderId, "chunked.bin", mixed, 4);
  b.addCompressedFile(kHfsRootFolderId, "lzvn.bin", text, 7);
  HfsHarness h(b);
  ASSERT_TRUE(h.scan());
  EXPECT_EQ(h.saved("inline.txt"), text);
  EXPECT_EQ(h.saved("chunked.bin"), mixed);
  EXPECT_EQ(h.browser.dataSize(h.at("chunked.bin")), mixed.size());
  EXPECT_EQ(statOf(h.out / "chunked.bin").st_mtime, 1700000000);

  const SaveOutcome lzvn = h.browser.saveFile(h.at("lzvn.bin"), h.out.path());
  EXPECT_FALSE(lzvn.written);
  EXPECT_EQ(lzvn.error, "the file is compressed with method 7, which cannot be read");
  EXPECT_FALSE(std::filesystem::exists(h.out / "lzvn.bin"));
}

// A damaged chunk ends the save with an error, and the half-written file is removed.
TEST(HfsData, ADamagedCompressedFileLeavesNothingBehind) {
  HfsBuilder b;
  const std::uint32_t id =
      b.addCompressedFile(kHfsRootFolderId, "c.bin", patternBytes(70000, 7), 4);
  (void)id;
  std::vector<std::uint8_t> image = b.build();
  HfsHarness probe(image, b.record());
  ASSERT_TRUE(probe.scan());
  // Spoil the second chunk (stored plainly, after the first chunk's zlib data): give the chunk
  // table an impossible size for it.
  const HfsNode &node = probe.node("c.bin");
  ASSERT_FALSE(node.resource.extents.empty());
  const std::uint64_t fork = std::uint64_t{node.resource.extents[0].startBlock} * 4096;
  const std::uint64_t table = fork + 0x100 + 4;
  putLe(image, table + 4 + 8 + 4, 0x7FFFFFFF, 4);
  HfsHarness h(std::move(image), b.record());
  ASSERT_TRUE(h.scan());
  const SaveOutcome saved = h.browser.saveFile(h.at("c.bin"), h.out.path());
  EXPECT_FALSE(saved.written);
  EXPECT_EQ(saved.error, "its compressed data is damaged (chunk 1)");
  EXPECT_FALSE(std::filesystem::exists(h.out / "c.bin"));
}

// Names as the system shows them: NUL units visible, '/' shown as ':', any Unicode kept; saved
// files get safe forms of them.
TEST(HfsData, NamesAreShownAsStoredAndSavedSafely) {
  HfsBuilder b;
  b.addFolder(kHfsRootFolderId, std::string("\0\0\0\0HFS+ Private Data", 21));
  b.addFile(kHfsRootFolderId, "a/b", fileOf("slash"));
  b.addFile(kHfsRootFolderId, "caf\u00e9 \U0001F600.txt", fileOf("emoji"));
  b.addFile(kHfsRootFolderId, "..", fileOf("dots"));
  HfsHarness h(b);
  ASSERT_TRUE(h.scan());
  EXPECT_EQ(h.listing(), (std::vector<std::string>{"\u2400\u2400\u2400\u2400HFS+ Private Data/",
                                                   "a:b", "caf\u00e9 \U0001F600.txt", ".."}));
  EXPECT_EQ(h.saved("a:b"), bytesOf("slash"));
  EXPECT_TRUE(std::filesystem::exists(h.out / "a:b"));
  EXPECT_EQ(h.saved("caf\u00e9 \U0001F600.txt"), bytesOf("emoji"));
  const SaveOutcome dots = h.browser.saveFile(h.at(".."), h.out.path());
  EXPECT_FALSE(dots.written); // never a path outside the output folder
}

// The shared folder save and search work over the adapter: folders become folders, and search
// rows carry the path below ROOT.
TEST(HfsData, FolderSaveAndSearchWalkTheChains) {
  HfsBuilder b;
  const std::uint32_t docs = b.addFolder(kHfsRootFolderId, "Docs");
  b.addFile(docs, "a.txt", fileOf("alpha"));
  const std::uint32_t deep = b.addFolder(docs, "Deep");
  b.addFile(deep, "report.doc", fileOf("report"));
  b.addFile(kHfsRootFolderId, "old_report.txt", fileOf("old"));
  HfsHarness h(b);
  ASSERT_TRUE(h.scan());
  ItemTree tree;
  h.parser.fillHfsRootItems(tree);

  h.progress.scriptAnswers({MessageAnswer::Yes});
  const SaveReport report =
      saveFolder(h.browser, h.at("Docs"), h.out.path(), h.progress, h.control);
  EXPECT_EQ(report.counted, 2U);
  EXPECT_EQ(report.written, 2U);
  EXPECT_EQ(readFileBytes(h.out / "a.txt"), bytesOf("alpha"));
  EXPECT_EQ(readFileBytes(h.out / "Deep" / "report.doc"), bytesOf("report"));

  std::vector<std::string> hits;
  const SearchReport found =
      searchTree(h.browser, tree, "report", h.progress, h.control,
                 [&](const SearchHit &hit) { hits.push_back(displayPath(hit, kRootItemText)); });
  EXPECT_EQ(found.rows, 2U);
  EXPECT_EQ(hits,
            (std::vector<std::string>{"ROOT\\Docs\\Deep\\report.doc", "ROOT\\old_report.txt"}));
}

} // namespace
} // namespace quillon::test
