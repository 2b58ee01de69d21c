// FAT16 and FAT32 standard mode over volumes built in memory: names, long names, the walk,
// chains and hostile links, linking and saving.
#include "fs/fat/fat16.h"
#include "fs/fat/fat32.h"

#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/memory_reader.h"
#include "support/fat_builder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace quillon {
namespace {

using test::FatBuilder;
using test::fatDelete;
using test::fatLongSlots;
using test::fatNamedSlots;
using test::fatShortSlot;
using test::FatSlot;

constexpr std::uint8_t kFile = 0x20;
constexpr std::uint8_t kFolder = 0x10;

std::vector<FatSlot> cat(std::initializer_list<std::vector<FatSlot>> parts) {
  std::vector<FatSlot> out;
  for (const auto &p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

// One scanned volume: the reader and the parser of the right width.
struct Scanned {
  explicit Scanned(const FatBuilder &b, bool fat32, bool formatted = false) : reader(b.image) {
    VolumeRecord record{fat32 ? "FAT32" : "FAT16", "", "0", "1   MB", 0};
    if (fat32) {
      f32 = std::make_unique<Fat32Class>(reader, progress, control, record);
      f32->driveFormatted = formatted;
      ok = f32->standardScan();
    } else {
      f16 = std::make_unique<Fat16Class>(reader, progress, control, record);
      f16->driveFormatted = formatted;
      ok = f16->standardScan();
    }
  }
  fat::FatVolume &volume() { return f16 ? static_cast<fat::FatVolume &>(*f16) : *f32; }
  std::vector<FatEntry> &entries() { return volume().entries; }

  // Every record below record 0 along the links, as "path" with "*" for deleted, in order.
  std::vector<std::string> paths() {
    std::vector<std::string> out;
    std::vector<std::pair<const FatEntry *, std::string>> stack;
    const auto pushChildren = [&](const FatEntry &folder, const std::string &prefix) {
      std::vector<const FatEntry *> kids;
      for (const FatEntry *c = folder.firstChild; c != nullptr; c = c->nextSibling) {
        kids.push_back(c);
      }
      for (auto it = kids.rbegin(); it != kids.rend(); ++it) {
        stack.emplace_back(*it, prefix);
      }
    };
    pushChildren(entries().at(0), "");
    while (!stack.empty()) {
      auto [e, prefix] = stack.back();
      stack.pop_back();
      const std::string path = prefix + e->name;
      out.push_back(path + (e->deleted != 0 ? "*" : ""));
      pushChildren(*e, path + "/");
    }
    return out;
  }

  const FatEntry &named(const std::string &name) {
    for (const auto &e : entries()) {
      if (e.name == name) {
        return e;
      }
    }
    ADD_FAILURE() << "no entry " << name;
    return entries().at(0);
  }

  MemoryReader reader;
  RecordingProgress progress;
  WorkerControl control;
  std::unique_ptr<Fat16Class> f16;
  std::unique_ptr<Fat32Class> f32;
  bool ok = false;
};

std::string readFile(const std::filesystem::path &p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) {
    v[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 512);
  }
  return v;
}

TEST(FatNames, ShortNameForms) {
  struct Case {
    std::string raw;
    std::uint8_t caseFlags;
    std::string expected;
  };
  const std::vector<Case> cases{
      {"FOO     TXT", 0, "FOO.TXT"},
      {"README     ", 0, "README"},
      {"DOCS       ", 0, "DOCS"},
      {"A B     C  ", 0, "A B.C"},
      {"\xE5OO     TXT", 0, "_OO.TXT"}, // deleted: the first character is lost
      {"\x05"
       "B      TXT",
       0,
       "\xC3\xA5"
       "B.TXT"},                                // 0x05 stands for 0xE5 (å)
      {"CAF\xC9    TXT", 0, "CAF\xC3\x89.TXT"}, // Windows-1252 É
      {"FOO     TXT", 0x18, "foo.txt"},
      {"FOO     TXT", 0x08, "foo.TXT"},
  };
  for (const auto &c : cases) {
    FatSlot slot = fatShortSlot(c.raw, kFile, 0, 0);
    slot[12] = c.caseFlags;
    EXPECT_EQ(fat::shortName(slot), c.expected) << c.raw;
  }
}

TEST(FatNames, EntryTexts) {
  FatEntry e;
  e.createDate = static_cast<std::uint16_t>((45 << 9) | (4 << 5) | 12); // 2025-04-12
  e.createTime = static_cast<std::uint16_t>((12 << 11) | (30 << 5));
  e.accessDate = e.createDate;
  e.writeDate = e.createDate;
  e.writeTime = static_cast<std::uint16_t>((15 << 11) | (7 << 5));
  e.attributes = 0x23;
  e.fileSize = 1536;
  const auto texts = fat::entryTexts(e);
  EXPECT_EQ(texts[0], "04/12/2025  12:30 AM");
  EXPECT_EQ(texts[1], "04/12/2025 ");
  EXPECT_EQ(texts[2], "04/12/2025  03:07 PM");
  EXPECT_EQ(texts[3], "-R-H-A");
  EXPECT_EQ(fat::sizeText(e), "1.50 KB");
}

class FatScan : public ::testing::TestWithParam<bool> {
protected:
  bool fat32() const { return GetParam(); }
};

TEST_P(FatScan, ListsLongShortAndDeletedNamesInNestedFolders) {
  FatBuilder b(fat32());
  const std::u16string longestName = std::u16string(170, u'x') + u".txt"; // 14 slots
  auto deletedLong =
      fatNamedSlots(u"Deleted report.docx", fatShortSlot("DELETE~1.DOC", kFile, 40, 10));
  fatDelete(deletedLong);
  auto deletedShort = std::vector<FatSlot>{fatShortSlot("GONE.TXT", kFile, 41, 10)};
  fatDelete(deletedShort);
  b.writeRoot(
      cat({{fatShortSlot("VOLUME", 0x08, 0, 0)},
           {fatShortSlot("FOO.TXT", kFile, 0, 0)},
           fatNamedSlots(u"A long file name.txt", fatShortSlot("ALONGF~1.TXT", kFile, 0, 0)),
           deletedLong,
           deletedShort,
           fatNamedSlots(u"Documents", fatShortSlot("DOCUME~1", kFolder, 10, 0)),
           fatNamedSlots(longestName, fatShortSlot("XXXXXX~1.TXT", kFile, 0, 0))}),
      {2, 3}); // FAT32: the root needs two clusters
  // Documents spans three clusters out of order; a long name straddles two of them.
  std::vector<FatSlot> docs;
  for (int i = 0; i < 12; ++i) {
    docs.push_back(fatShortSlot("F" + std::to_string(i) + ".BIN", kFile, 0, 0));
  }
  auto straddling =
      fatNamedSlots(u"straddles clusters.dat", fatShortSlot("STRADD~1.DAT", kFile, 0, 0));
  docs.insert(docs.end(), straddling.begin(), straddling.end());
  for (int i = 12; i < 30; ++i) {
    docs.push_back(fatShortSlot("F" + std::to_string(i) + ".BIN", kFile, 0, 0));
  }
  docs.push_back(fatShortSlot("INNER", kFolder, 30, 0));
  b.writeFolder({10, 20, 15}, 0, docs);
  b.writeFolder({30}, 10, {fatShortSlot("DEEP.TXT", kFile, 0, 0)});

  Scanned s(b, fat32());
  ASSERT_TRUE(s.ok);
  const auto paths = s.paths();
  // The volume label is not a file.
  std::vector<std::string> expected{"FOO.TXT", "A long file name.txt", "Deleted report.docx*",
                                    "_ONE.TXT*", "Documents"};
  for (int i = 0; i < 12; ++i) {
    expected.push_back("Documents/F" + std::to_string(i) + ".BIN");
  }
  expected.push_back("Documents/straddles clusters.dat");
  for (int i = 12; i < 30; ++i) {
    expected.push_back("Documents/F" + std::to_string(i) + ".BIN");
  }
  expected.push_back("Documents/INNER");
  expected.push_back("Documents/INNER/DEEP.TXT");
  expected.push_back(std::string(170, 'x') + ".txt");
  EXPECT_EQ(paths, expected);
  EXPECT_EQ(s.entries().at(0).name, "DUMMY ENTRY");
  for (std::size_t i = 0; i < s.entries().size(); ++i) {
    EXPECT_EQ(s.entries()[i].selfIndex, i);
  }
  EXPECT_EQ(s.progress.statuses().at(0),
            fat32() ? "Finding Fat32 File And Directory entries recursively...."
                    : "Finding Fat16 File And Directory entries recursively....");
}

TEST_P(FatScan, DeletedFolderShowsItsFirstCluster) {
  FatBuilder b(fat32());
  auto old = fatNamedSlots(u"Old stuff", fatShortSlot("OLDSTU~1", kFolder, 50, 0));
  fatDelete(old);
  b.writeRoot(old);
  auto file = fatNamedSlots(u"kept letter.txt", fatShortSlot("KEPTLE~1.TXT", kFile, 0, 0));
  fatDelete(file);
  b.writeFolder({50, 51}, 0, file);
  // The freed chain is not trusted: a second cluster that now belongs to another file is not
  // read as part of the folder.
  const auto other = test::fatSlotBytes({fatShortSlot("OTHER.TXT", kFile, 0, 0)});
  std::copy(other.begin(), other.end(), b.image.begin() + static_cast<long>(b.clusterOffset(51)));
  Scanned s(b, fat32());
  EXPECT_EQ(s.paths(), (std::vector<std::string>{"Old stuff*", "Old stuff/kept letter.txt*"}));
}

TEST_P(FatScan, FolderSlotsOfOneClusterAreOneRecord) {
  // Folder A was deleted and B created over the same cluster; a later slot C names it again.
  // One record stands for the cluster: the live slot wins, then the later name.
  FatBuilder b(fat32());
  auto deletedA = std::vector<FatSlot>{fatShortSlot("A", kFolder, 10, 0)};
  fatDelete(deletedA);
  b.writeRoot(cat({deletedA,
                   {fatShortSlot("B", kFolder, 10, 0)},
                   {fatShortSlot("OTHER", kFolder, 11, 0)},
                   {fatShortSlot("C", kFolder, 10, 0)}}));
  b.writeFolder({10}, 0, {fatShortSlot("IN.TXT", kFile, 0, 0)});
  b.writeFolder({11}, 0, {});
  Scanned s(b, fat32());
  EXPECT_EQ(s.paths(), (std::vector<std::string>{"C", "C/IN.TXT", "OTHER"}));
  for (std::size_t i = 0; i < s.entries().size(); ++i) {
    EXPECT_EQ(s.entries()[i].selfIndex, i);
  }
}

TEST_P(FatScan, StaleLongNameIsNotGivenToANewShortSlot) {
  FatBuilder b(fat32());
  auto stale = fatLongSlots(u"old deleted name.txt", fatShortSlot("OLDDEL~1.TXT", kFile, 0, 0));
  fatDelete(stale);
  b.writeRoot(cat({stale, {fatShortSlot("NEW.TXT", kFile, 0, 0)}}));
  Scanned s(b, fat32());
  EXPECT_EQ(s.paths(), (std::vector<std::string>{"NEW.TXT"}));
}

TEST_P(FatScan, FreeSlotInTheMiddleOfAFolder) {
  FatBuilder b(fat32());
  b.writeRoot({fatShortSlot("SUB", kFolder, 10, 0)});
  b.writeFolder(
      {10, 11}, 0,
      {fatShortSlot("BEFORE.TXT", kFile, 0, 0), FatSlot{}, fatShortSlot("AFTER.TXT", kFile, 0, 0)});
  // The next cluster of the folder is still read after a free slot.
  std::vector<FatSlot> second{fatShortSlot("NEXT.TXT", kFile, 0, 0)};
  const auto bytes = test::fatSlotBytes(second);
  std::copy(bytes.begin(), bytes.end(), b.image.begin() + static_cast<long>(b.clusterOffset(11)));
  Scanned s(b, fat32());
  // FAT16 reads on past a free slot; on FAT32 a free slot ends the cluster.
  const std::vector<std::string> expected =
      fat32() ? std::vector<std::string>{"SUB", "SUB/BEFORE.TXT", "SUB/NEXT.TXT"}
              : std::vector<std::string>{"SUB", "SUB/BEFORE.TXT", "SUB/AFTER.TXT", "SUB/NEXT.TXT"};
  EXPECT_EQ(s.paths(), expected);
}

TEST_P(FatScan, HostileLinksEndQuickly) {
  FatBuilder b(fat32());
  b.writeRoot({fatShortSlot("LOOP", kFolder, 10, 0), fatShortSlot("SELF", kFolder, 20, 0),
               fatShortSlot("FAR", kFolder, 0x0FFFFF00, 0),
               fatShortSlot("FAR.BIN", kFile, 0x0FFFFF00, 100),
               fatShortSlot("NOTDIR", kFolder, 30, 0)});
  b.writeFolder({10, 11}, 0, {fatShortSlot("A.TXT", kFile, 0, 0)});
  b.setFat(11, 10); // 10 -> 11 -> 10
  const auto second = test::fatSlotBytes({fatShortSlot("B.TXT", kFile, 0, 0)});
  std::copy(second.begin(), second.end(), b.image.begin() + static_cast<long>(b.clusterOffset(11)));
  b.writeFolder({20}, 0, {fatShortSlot("AGAIN", kFolder, 20, 0)}); // its own child
  b.writeChain({30}, test::fatSlotBytes({fatShortSlot("JUNK.TXT", kFile, 0, 0)}));
  Scanned s(b, fat32());
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.paths(), (std::vector<std::string>{"LOOP", "LOOP/A.TXT", "LOOP/B.TXT", "SELF",
                                                 "SELF/AGAIN", "FAR", "FAR.BIN", "NOTDIR"}));
  test::TempDir dir;
  auto saved = s.volume().saveEntryFile(s.named("FAR.BIN"), dir.path());
  ASSERT_TRUE(saved);
  EXPECT_EQ(std::filesystem::file_size(*saved), 0U);
}

TEST_P(FatScan, ChainEndValues) {
  const std::vector<std::uint32_t> ends =
      fat32() ? std::vector<std::uint32_t>{0x0FFFFFF8, 0x0FFFFFFE, 0x0FFFFFFF, 0xFFFFFFFF,
                                           0x0FFFFFF7, 0,          1,          300}
              : std::vector<std::uint32_t>{0xFFF8, 0xFFFE, 0xFFFF, 0xFFF7, 0, 1, 300};
  for (const std::uint32_t end : ends) {
    FatBuilder c(fat32());
    c.setFat(10, 11);
    c.setFat(11, end);
    Scanned s(c, fat32());
    EXPECT_EQ(s.volume().chain(10, 1000), (std::vector<std::uint32_t>{10, 11})) << std::hex << end;
  }
  if (fat32()) { // the top four bits are reserved
    FatBuilder c(true);
    c.setFat(10, 0xF000000C);
    c.setFat(12, 0x0FFFFFFF);
    Scanned s(c, true);
    EXPECT_EQ(s.volume().chain(10, 1000), (std::vector<std::uint32_t>{10, 12}));
  }
}

TEST_P(FatScan, SavesLiveAndDeletedFilesWithTheirTimes) {
  ::setenv("TZ", "UTC", 1);
  FatBuilder b(fat32());
  const auto live = pattern(1300, 3); // fragmented: 40, 43, 41
  const auto gone = pattern(1100, 9); // deleted: its chain is freed, read from 50 on
  const auto cut = pattern(2000, 5);  // chain shorter than the size
  auto goneSlots = std::vector<FatSlot>{fatShortSlot("GONE.BIN", kFile, 50, 1100)};
  fatDelete(goneSlots);
  b.writeRoot(cat({{fatShortSlot("LIVE.BIN", kFile, 40, 1300)},
                   goneSlots,
                   {fatShortSlot("CUT.BIN", kFile, 60, 2000)},
                   {fatShortSlot("EMPTY.TXT", kFile, 0, 0)}}));
  b.writeChain({40, 43, 41}, live);
  b.writeChain({50, 51, 52}, gone);
  for (std::uint32_t c : {50U, 51U, 52U}) {
    b.setFat(c, 0);
  }
  b.writeChain({60, 61, 62, 63}, cut);
  b.setFat(61, b.endMark());
  Scanned s(b, fat32());
  test::TempDir dir;
  for (const char *name : {"LIVE.BIN", "_ONE.BIN", "CUT.BIN", "EMPTY.TXT"}) {
    std::string error;
    ASSERT_TRUE(s.volume().saveEntryFile(s.named(name), dir.path(), &error)) << error;
  }
  struct stat st {};
  ASSERT_EQ(::stat((dir / "LIVE.BIN").c_str(), &st), 0);
  // 2025-04-12 15:17:56 UTC
  EXPECT_EQ(st.st_mtime, 1744471076);
  EXPECT_EQ(st.st_atime, 1744416000);
  EXPECT_EQ(readFile(dir / "LIVE.BIN"), std::string(live.begin(), live.end()));
  EXPECT_EQ(readFile(dir / "_ONE.BIN"), std::string(gone.begin(), gone.end()));
  EXPECT_EQ(readFile(dir / "CUT.BIN"), std::string(cut.begin(), cut.begin() + 1024));
  EXPECT_EQ(readFile(dir / "EMPTY.TXT"), "");
}

TEST_P(FatScan, FormattedDriveReadsFirstClustersOnly) {
  FatBuilder b(fat32());
  const auto data = pattern(1024, 1);
  b.writeRoot({fatShortSlot("SUB", kFolder, 10, 0), fatShortSlot("DATA.BIN", kFile, 40, 1024)});
  b.writeFolder({10, 11}, 0, {fatShortSlot("ONE.TXT", kFile, 0, 0)});
  const auto second = test::fatSlotBytes({fatShortSlot("TWO.TXT", kFile, 0, 0)});
  std::copy(second.begin(), second.end(), b.image.begin() + static_cast<long>(b.clusterOffset(11)));
  b.writeChain({40, 45}, data);
  auto contiguous = pattern(512, 77);
  std::copy(contiguous.begin(), contiguous.end(),
            b.image.begin() + static_cast<long>(b.clusterOffset(41)));
  Scanned s(b, fat32(), true);
  EXPECT_EQ(s.paths(), (std::vector<std::string>{"SUB", "SUB/ONE.TXT", "DATA.BIN"}));
  test::TempDir dir;
  ASSERT_TRUE(s.volume().saveEntryFile(s.named("DATA.BIN"), dir.path()));
  std::string expected(data.begin(), data.begin() + 512);
  expected.append(contiguous.begin(), contiguous.end());
  EXPECT_EQ(readFile(dir / "DATA.BIN"), expected);
}

INSTANTIATE_TEST_SUITE_P(Fat, FatScan, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Fat32" : "Fat16"; });

TEST(FatBoot, AcceptsByStructureAndRefusesOtherVolumes) {
  FatBuilder f16(false);
  std::copy_n("MSWIN4.1", 8, f16.image.begin() + 3);
  f16.writeRoot({fatShortSlot("A.TXT", kFile, 0, 0)});
  EXPECT_TRUE(Scanned(f16, false).ok);
  // Each class refuses the other width and a blank sector, with its message.
  FatBuilder f32(true);
  Scanned wrong16(f32, false);
  EXPECT_FALSE(wrong16.ok);
  ASSERT_EQ(wrong16.progress.messages().size(), 1U);
  EXPECT_EQ(wrong16.progress.messages()[0].text, "Selected Drive is not in Fat16 Format");
  Scanned wrong32(f16, true);
  EXPECT_FALSE(wrong32.ok);
  ASSERT_EQ(wrong32.progress.messages().size(), 1U);
  EXPECT_EQ(wrong32.progress.messages()[0].text, "Selected Drive is not in Fat32 Format");
  FatBuilder blank(true);
  std::fill_n(blank.image.begin(), 512, 0);
  EXPECT_FALSE(Scanned(blank, true).ok);
}

TEST(FatBoot, Fat32RootFollowsTheRootClusterField) {
  FatBuilder b(true);
  // Root at cluster 7, two clusters long; the first table sector says nothing about it.
  std::vector<FatSlot> root;
  for (int i = 0; i < 17; ++i) {
    root.push_back(fatShortSlot("R" + std::to_string(i) + ".TXT", kFile, 0, 0));
  }
  b.writeRoot(root, {7, 9});
  putLe(b.image, 44, 7, 4);
  Scanned s(b, true);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.paths().size(), 17U);
  EXPECT_EQ(s.paths().back(), "R16.TXT");
}

TEST(FatBoot, Fat16RootOf65535Entries) {
  FatBuilder b(false, 256, 65535);
  b.writeRoot({fatShortSlot("SUB", kFolder, 10, 0)});
  b.writeFolder({10}, 0, {fatShortSlot("IN.TXT", kFile, 0, 0)});
  Scanned s(b, false);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.paths(), (std::vector<std::string>{"SUB", "SUB/IN.TXT"}));
}

} // namespace
} // namespace quillon

namespace quillon {
namespace {

// Damaged volumes: random bytes over the tables, the root and the first folder clusters never
// crash the scan or the save, and every record still has a parent before it.
TEST(FatHostile, RandomDamageIsSurvived) {
  std::mt19937 rng(4242);
  for (int round = 0; round < 120; ++round) {
    const bool fat32 = round % 2 == 1;
    FatBuilder b(fat32);
    auto named =
        fatNamedSlots(u"A long file name.txt", fatShortSlot("ALONGF~1.TXT", kFile, 40, 900));
    b.writeRoot(cat({{fatShortSlot("SUB", kFolder, 10, 0)}, named}));
    b.writeFolder({10, 11}, 0,
                  {fatShortSlot("IN.TXT", kFile, 42, 600), fatShortSlot("DEEP", kFolder, 12, 0)});
    b.writeFolder({12}, 10, {fatShortSlot("X.TXT", kFile, 43, 10)});
    b.writeChain({40, 41}, pattern(900, 1));
    const std::size_t span = static_cast<std::size_t>(b.clusterOffset(20));
    std::uniform_int_distribution<std::size_t> where(512, span - 1); // the boot sector stays
    for (int k = 0; k < 48; ++k) {
      b.image[where(rng)] = static_cast<std::uint8_t>(rng());
    }
    Scanned s(b, fat32);
    ASSERT_TRUE(s.ok);
    test::TempDir dir;
    for (std::size_t i = 1; i < s.entries().size(); ++i) {
      const FatEntry &e = s.entries()[i];
      ASSERT_LT(e.parentIndex, i);
      if (!fat::isDirectoryClass(e.attributes)) {
        (void)s.volume().saveEntryFile(e, dir.path(), nullptr, "f" + std::to_string(i));
      }
    }
    (void)s.paths();
  }
}

} // namespace
} // namespace quillon
