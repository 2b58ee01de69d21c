// NTFS entries: what a record gives its entry (names, parent, times, attributes, data size) and
// how the table becomes a tree: children in record order, deleted entries, orphans, and parent
// references that loop.
#include "support/ntfs_builder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>

namespace quillon {
namespace {

using test::filetimeOf;
using test::NtfsBuilder;
using test::NtfsFileName;
using test::NtfsHarness;
using test::NtfsRecord;

// Walks the tree from the root (whose chain ends with ORPHAN_ENTRY) and checks that it is a
// tree holding every named entry exactly once, with parents that match the chains.
void expectTreeHoldsEveryName(const NtfsHarness &h) {
  const std::vector<NtfsEntry> &entries = h.parser.entries;
  std::vector<int> seen(entries.size(), 0);
  std::vector<std::int64_t> stack = {h.parser.rootIndex};
  while (!stack.empty()) {
    const std::int64_t folder = stack.back();
    stack.pop_back();
    for (const std::int64_t child : h.parser.children(folder)) {
      ASSERT_EQ(h.entry(child).parent, folder) << h.entry(child).name;
      if (++seen[static_cast<std::size_t>(child)] == 1) {
        stack.push_back(child);
      }
    }
  }
  for (std::size_t i = 1; i < entries.size(); ++i) {
    if (entries[i].hasName && static_cast<std::int64_t>(i) != h.parser.rootIndex) {
      EXPECT_EQ(seen[i], 1) << entries[i].name;
    }
  }
}

TEST(NtfsEntriesTest, ChildrenFollowRecordOrderWithDeletedEntries) {
  NtfsBuilder b;
  b.file(30, "early.txt", 44) // its folder comes later in the table
      .folder(40, "Docs")
      .file(41, "a.txt", 40)
      .file(42, "gone.txt", 40, {}, false)
      .folder(43, "Sub", 40)
      .folder(44, "Later")
      .folder(45, "Old", 5, false)
      .file(46, "kept.txt", 45);
  NtfsHarness h(b.build());
  h.standardScan();

  EXPECT_EQ(h.parser.rootIndex, 5);
  EXPECT_EQ(h.childNames(5),
            (std::vector<std::string>{"$MFTMirr", "$LogFile", "$Volume", "$AttrDef", "$Bitmap",
                                      "$Boot", "$BadClus", "$Secure", "$UpCase", "$Extend", "Docs",
                                      "Later", "Old", kOrphanEntryName}));
  EXPECT_EQ(h.childNames(40), (std::vector<std::string>{"a.txt", "gone.txt", "Sub"}));
  EXPECT_EQ(h.childNames(44), std::vector<std::string>{"early.txt"});
  EXPECT_EQ(h.childNames(45), std::vector<std::string>{"kept.txt"});
  EXPECT_FALSE(h.entry(42).inUse());
  EXPECT_FALSE(h.entry(45).inUse());
  EXPECT_TRUE(h.entry(45).isFolder());
  EXPECT_TRUE(h.childNames(h.parser.orphanIndex).empty());
  const NtfsEntry &orphans = h.entry(h.parser.orphanIndex);
  EXPECT_EQ(h.parser.orphanIndex, 64);
  EXPECT_TRUE(orphans.isRecord());
  EXPECT_TRUE(orphans.isFolder());
  EXPECT_TRUE(orphans.inUse());
  expectTreeHoldsEveryName(h);
}

TEST(NtfsEntriesTest, VolumeWithoutRootKeepsItsOrphans) {
  NtfsBuilder b;
  b.remove(5).file(40, "lost.txt");
  NtfsHarness h(b.build());
  h.standardScan();
  EXPECT_EQ(h.parser.rootIndex, static_cast<std::int64_t>(h.parser.entries.size()));
  EXPECT_EQ(h.entry(40).orphan, 1);
  EXPECT_EQ(h.childNames(h.parser.orphanIndex).front(), "lost.txt");
}

struct OrphanCase {
  const char *what;
  std::function<void(NtfsBuilder &)> build;
  std::vector<std::string> orphans; // ORPHAN_ENTRY's chain, newest first
};

void PrintTo(const OrphanCase &c, std::ostream *os) { *os << c.what; }

class NtfsOrphanTest : public ::testing::TestWithParam<OrphanCase> {};

TEST_P(NtfsOrphanTest, GoesToOrphanEntry) {
  NtfsBuilder b;
  GetParam().build(b);
  NtfsHarness h(b.build());
  h.standardScan();
  EXPECT_EQ(h.childNames(h.parser.orphanIndex), GetParam().orphans);
  for (const std::int64_t i : h.parser.children(h.parser.orphanIndex)) {
    EXPECT_EQ(h.entry(i).orphan, 1);
  }
  expectTreeHoldsEveryName(h);
}

NtfsRecord withParentReference(std::string name, std::uint64_t parent) {
  NtfsRecord r = NtfsBuilder::namedRecord(std::move(name));
  r.names[0].parent = parent;
  r.names[0].parentSequence = 0;
  return r;
}

INSTANTIATE_TEST_SUITE_P(
    NtfsOrphans, NtfsOrphanTest,
    ::testing::Values(
        OrphanCase{"parent_outside_table",
                   [](NtfsBuilder &b) { b.file(40, "far1.txt", 5000).file(41, "far2.txt", 64); },
                   {"far2.txt", "far1.txt"}},
        OrphanCase{"parent_is_a_file",
                   [](NtfsBuilder &b) { b.file(40, "host.txt").file(41, "guest.txt", 40); },
                   {"guest.txt"}},
        OrphanCase{"own_parent",
                   [](NtfsBuilder &b) { b.folder(40, "self", 40).file(41, "inside.txt", 40); },
                   {"self"}},
        OrphanCase{"parent_without_name",
                   [](NtfsBuilder &b) {
                     NtfsRecord nameless;
                     nameless.directory = true;
                     b.set(40, nameless).file(41, "child.txt", 40);
                   },
                   {"child.txt"}},
        OrphanCase{"parent_is_record_zero",
                   [](NtfsBuilder &b) { b.file(40, "zero.txt", 0); },
                   {"zero.txt"}},
        OrphanCase{"negative_parent",
                   [](NtfsBuilder &b) { b.set(40, withParentReference("neg.txt", 1ULL << 47)); },
                   {"neg.txt"}},
        // Parent references that loop: the loop is cut where the walk meets it again, so one
        // member goes to ORPHAN_ENTRY and the others hang below it.
        OrphanCase{
            "two_folders_loop",
            [](NtfsBuilder &b) { b.folder(40, "A", 41).folder(41, "B", 40).file(42, "c.txt", 40); },
            {"A"}},
        OrphanCase{"three_folders_loop_with_a_tail",
                   [](NtfsBuilder &b) {
                     b.folder(40, "tail", 42)
                         .folder(41, "X", 43)
                         .folder(42, "Y", 41)
                         .folder(43, "Z", 42)
                         .file(44, "deep.txt", 43);
                   },
                   {"Y"}}),
    [](const auto &info) { return std::string(info.param.what); });

TEST(NtfsEntriesTest, LoopedSiblingChainsAreWalkedWithABound) {
  NtfsHarness h(std::vector<std::uint8_t>(1 << 20));
  h.parser.entries.resize(6);
  for (std::int64_t i = 0; i < 6; ++i) {
    h.parser.entries[static_cast<std::size_t>(i)].ownIndex = i;
  }
  h.parser.entries[1].kind = 'D';
  h.parser.entries[1].firstChild = 2;
  h.parser.entries[2].nextSibling = 3;
  h.parser.entries[3].nextSibling = 2; // 2 -> 3 -> 2 -> ...
  h.parser.entries[2].parent = h.parser.entries[3].parent = 1;
  h.parser.entries[4].parent = 1;
  h.parser.linkChild(4); // finds no end: leaves the chain alone
  EXPECT_LE(h.parser.children(1).size(), 6U);
  h.parser.entries[5].parent = 5;
  h.parser.linkChild(5); // its own parent: not linked
  EXPECT_EQ(h.parser.entries[5].firstChild, 0);
}

struct NameCase {
  const char *what;
  std::vector<NtfsFileName> names;
  std::string name; // empty: no name
  std::int64_t parent;
};

void PrintTo(const NameCase &c, std::ostream *os) { *os << c.what; }

class NtfsNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(NtfsNameTest, NameAndParent) {
  NtfsRecord r = NtfsBuilder::namedRecord("");
  r.names = GetParam().names;
  NtfsBuilder b;
  b.folder(50, "Other").set(40, r);
  NtfsHarness h(b.build());
  h.standardScan();
  EXPECT_EQ(h.entry(40).hasName, !GetParam().name.empty());
  EXPECT_EQ(h.entry(40).name, GetParam().name);
  if (!GetParam().name.empty()) {
    EXPECT_EQ(h.entry(40).parent, GetParam().parent);
  }
}

NtfsFileName fileName(std::string name, std::uint8_t space, std::uint64_t parent = 5) {
  NtfsFileName n;
  n.name = std::move(name);
  n.nameSpace = space;
  n.parent = parent;
  return n;
}

NtfsFileName lyingLength() {
  NtfsFileName n = fileName("abc", test::kWin32Name);
  n.lengthByte = 200;
  return n;
}

INSTANTIATE_TEST_SUITE_P(
    NtfsNames, NtfsNameTest,
    ::testing::Values(
        NameCase{
            "dos_then_win32",
            {fileName("LONGNA~1.TXT", test::kDosName), fileName("Long name.txt", test::kWin32Name)},
            "Long name.txt",
            5},
        NameCase{
            "win32_then_dos",
            {fileName("Long name.txt", test::kWin32Name), fileName("LONGNA~1.TXT", test::kDosName)},
            "Long name.txt",
            5},
        NameCase{"dos_only", {fileName("SHORT.TXT", test::kDosName)}, "SHORT.TXT", 5},
        NameCase{"posix_then_dos",
                 {fileName("posix name", test::kPosixName), fileName("POSIXN~1", test::kDosName)},
                 "posix name",
                 5},
        NameCase{"hard_links_last_name_first_parent",
                 {fileName("first", test::kWin32Name, 50), fileName("second", test::kWin32Name, 5)},
                 "second",
                 50},
        NameCase{"utf16_to_utf8",
                 {fileName("B\xC3\xBC"
                           "cher \xE2\x82\xAC\xF0\x9F\x98\x80",
                           test::kWin32Name)},
                 "B\xC3\xBC"
                 "cher \xE2\x82\xAC\xF0\x9F\x98\x80",
                 5},
        NameCase{"longest_name",
                 {fileName(std::string(255, 'n'), test::kWin32Name)},
                 std::string(255, 'n'),
                 5},
        NameCase{"length_past_value", {lyingLength()}, "", 0}),
    [](const auto &info) { return std::string(info.param.what); });

TEST(NtfsEntriesTest, TimesAndAttributesComeFromTheRecord) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  NtfsRecord r = NtfsBuilder::namedRecord("times.txt");
  r.standardInformation->created = filetimeOf(1600000000);  // 2020-09-13 12:26:40
  r.standardInformation->accessed = filetimeOf(1600002000); // 13:00:00
  r.standardInformation->modified = filetimeOf(1599955500); // 00:05:00
  r.names[0].flags = 0x1 | 0x2 | 0x4 | 0x20 | 0x200 | 0x800 | 0x4000;
  NtfsBuilder b;
  b.set(40, r).file(41, "system.sys");
  b.record(41).names[0].flags = 0x4;
  NtfsHarness h(b.build());
  h.standardScan();

  EXPECT_EQ(h.parser.entryTexts(h.entry(40)),
            (std::array<std::string, 4>{"09/13/2020  12:26 AM", "09/13/2020  01:00 PM",
                                        "09/13/2020  00:05 AM", "-R-H-S-A-C-E"}));
  EXPECT_EQ(h.parser.entryTexts(h.entry(41))[3], "");
  EXPECT_EQ(h.parser.entryTexts(h.entry(h.parser.orphanIndex)),
            (std::array<std::string, 4>{"", "", "", ""}));
}

TEST(NtfsEntriesTest, DataSizeOfTheUnnamedStream) {
  NtfsBuilder b;
  b.file(40, "resident.txt", 5, std::vector<std::uint8_t>(700, 'r'));
  test::NtfsAttribute big;
  big.resident = false;
  big.runs = {{100, 31, false}};
  big.realSize = 123456;
  b.file(41, "big.bin").record(41).attributes = {big};
  test::NtfsAttribute stream;
  stream.name = "Zone.Identifier";
  stream.value = std::vector<std::uint8_t>(26, 'z');
  b.file(42, "stream_only").record(42).attributes = {stream};
  // The data of 43 lives in extension record 47, found through the attribute list.
  b.file(43, "listed.bin").record(43).attributes.clear();
  auto listed = [](std::uint32_t type, std::uint64_t record) {
    test::NtfsListEntry e;
    e.type = type;
    e.record = record;
    return e;
  };
  b.record(43).attributeList =
      std::vector<test::NtfsListEntry>{listed(0x10, 43), listed(0x30, 43), listed(0x80, 47)};
  NtfsRecord extension;
  extension.baseRecord = 43;
  extension.standardInformation.reset();
  test::NtfsAttribute extent = big;
  extent.realSize = 5000000;
  extent.runs = {{200, 1221, false}};
  extension.attributes = {extent};
  b.set(47, extension);
  NtfsHarness h(b.build());
  h.standardScan();

  EXPECT_EQ(h.entry(40).dataSize, 700U);
  EXPECT_EQ(h.entry(41).dataSize, 123456U);
  EXPECT_TRUE(h.entry(41).hasData);
  EXPECT_FALSE(h.entry(42).hasData);
  EXPECT_EQ(h.entry(42).dataSize, 0U);
  EXPECT_TRUE(h.entry(43).hasAttributeList);
  EXPECT_TRUE(h.entry(43).hasData);
  EXPECT_EQ(h.entry(43).dataSize, 5000000U);
  EXPECT_FALSE(h.entry(47).hasName);
  EXPECT_FALSE(h.entry(5).hasData);
}

// A record whose attributes outgrew it keeps its $FILE_NAME in an extension record.
TEST(NtfsEntriesTest, NameInAnExtensionRecordBelongsToItsBase) {
  NtfsBuilder b;
  b.folder(40, "Frag");
  NtfsRecord base;
  base.attributeList = std::vector<test::NtfsListEntry>(1);
  test::NtfsAttribute data;
  data.resident = false;
  data.runs = {{300, 10, false}};
  data.realSize = 40000;
  base.attributes = {data};
  b.set(42, base);
  NtfsRecord extension = NtfsBuilder::namedRecord("fragA.bin", 40);
  extension.baseRecord = 42;
  extension.standardInformation.reset();
  b.set(43, extension);
  // An extension whose base has no attribute list is left alone.
  NtfsRecord stale = NtfsBuilder::namedRecord("stale.bin", 40);
  stale.baseRecord = 41;
  b.file(41, "plain.txt", 40).set(44, stale);
  NtfsHarness h(b.build());
  h.standardScan();

  EXPECT_EQ(h.entry(42).name, "fragA.bin");
  EXPECT_EQ(h.entry(42).dataSize, 40000U);
  EXPECT_FALSE(h.entry(43).hasName);
  EXPECT_EQ(h.childNames(40), (std::vector<std::string>{"plain.txt", "fragA.bin", "stale.bin"}));
}

TEST(NtfsEntriesTest, ParseRecordFillsOneEntry) {
  NtfsBuilder b;
  b.folder(40, "Docs");
  NtfsHarness h(b.build());
  h.parser.readBootSector();
  h.parser.entries.resize(2);
  EXPECT_TRUE(h.parser.parseRecord(4 * 4096 + 40 * 1024, 1));
  EXPECT_EQ(h.entry(1).name, "Docs");
  EXPECT_EQ(h.entry(1).ownIndex, 1);
  EXPECT_TRUE(h.entry(1).isFolder());
  EXPECT_FALSE(h.parser.parseRecord(0, 2));
  EXPECT_FALSE(h.parser.parseRecord(0, -1));
}

} // namespace
} // namespace quillon
