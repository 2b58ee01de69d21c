// NTFS record scans: deep mode's regrouping by disk order, the MFT candidate search (the $MFT
// seven records before $Boot, disk order, the maximum, stopping) and reading a chosen candidate.
#include "support/ntfs_builder.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quillon {
namespace {

using test::NtfsBuilder;
using test::NtfsGeometry;
using test::NtfsHarness;
using test::NtfsRecord;

TEST(NtfsDeepScanTest, RegroupsByDiskOrderAfterTheBootSectorIsGone) {
  NtfsBuilder b;
  b.folder(16, "A").file(17, "a1").folder(18, "B").file(19, "b1").file(20, "b2");
  NtfsRecord unnamed;
  b.set(21, unnamed); // no $FILE_NAME: not kept
  b.write(0, std::vector<std::uint8_t>(512, 0));
  std::vector<std::uint8_t> image = b.build();
  // A second copy of b1 further on: listed again, inside the folder found last before it.
  std::copy_n(image.begin() + 4 * 4096 + 19 * 1024, 1024, image.begin() + 100 * 4096);
  NtfsHarness h(std::move(image));
  h.deepScan();

  EXPECT_FALSE(h.parser.runsKnown);
  EXPECT_FALSE(h.entry(0).hasName); // index 0 ends chains, so no record is kept there
  EXPECT_TRUE(h.progress.sawStatus("MFT ENTRY 2 Found.Parsing it .."));
  EXPECT_EQ(h.childNames(h.parser.rootIndex), std::vector<std::string>{kOrphanEntryName});
  const std::vector<std::string> top = h.childNames(h.parser.orphanIndex);
  ASSERT_GE(top.size(), 4U);
  // Folders newest first, then the records met before the first folder (the mirror's copies
  // and the first system records), also newest first.
  EXPECT_EQ(std::vector<std::string>(top.begin(), top.begin() + 4),
            (std::vector<std::string>{"B", "A", "$Extend", "$UpCase"}));
  EXPECT_EQ(std::count(top.begin(), top.end(), "$MFT"), 2);
  EXPECT_EQ(h.childNames(h.find("A")), std::vector<std::string>{"a1"});
  EXPECT_EQ(h.childNames(h.find("B")), (std::vector<std::string>{"b1", "b2", "b1"}));
  for (const NtfsEntry &e : h.parser.entries) {
    EXPECT_TRUE(e.ownIndex == 0 || e.hasName);
  }
}

// A name kept in an extension record belongs to the base record, which holds the data.
TEST(NtfsDeepScanTest, NameInAnExtensionRecordListsItsBase) {
  NtfsBuilder b;
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
  b.set(43, extension);
  NtfsHarness h(b.build());
  h.deepScan();
  const std::int64_t i = h.find("fragA.bin");
  ASSERT_GT(i, 0);
  EXPECT_EQ(h.entry(i).recordOffset, 4U * 4096 + 42 * 1024);
  EXPECT_EQ(h.entry(i).dataSize, 40000U);
  EXPECT_TRUE(h.entry(i).hasAttributeList);
}

// A volume formatted again: the current MFT at cluster 4 and an older one, with 2 KiB clusters,
// at 2 MiB.
std::vector<std::uint8_t> reformattedVolume() {
  NtfsBuilder current;
  current.file(40, "current.txt");
  NtfsGeometry oldGeometry;
  oldGeometry.sectorsPerCluster = 4;
  oldGeometry.mftCluster = 1024;
  oldGeometry.writeMirror = false;
  NtfsBuilder old(oldGeometry);
  old.folder(40, "OldDocs").file(41, "old.txt", 40);
  const std::vector<std::uint8_t> oldImage = old.build();
  std::vector<std::uint8_t> image = current.build();
  std::copy_n(oldImage.begin() + (2 << 20), 64 * 1024, image.begin() + (2 << 20));
  return image;
}

struct MaximumCase {
  std::int64_t maximum;
  std::vector<std::uint64_t> offsets;
};

void PrintTo(const MaximumCase &c, std::ostream *os) { *os << "maximum " << c.maximum; }

class NtfsCandidateMaximumTest : public ::testing::TestWithParam<MaximumCase> {};

TEST_P(NtfsCandidateMaximumTest, FindsMftsInDiskOrder) {
  NtfsHarness h(reformattedVolume());
  h.parser.readBootSector();
  EXPECT_EQ(h.parser.findMftCandidates(GetParam().maximum),
            static_cast<std::int64_t>(GetParam().offsets.size()));
  std::vector<std::uint64_t> offsets;
  for (const NtfsEntry &c : h.parser.candidates) {
    offsets.push_back(c.recordOffset);
    EXPECT_EQ(c.name, "$MFT");
  }
  EXPECT_EQ(offsets, GetParam().offsets);
  // Four mirror copies, then records 0 to 7 of the current MFT.
  EXPECT_TRUE(h.progress.sawStatus("MFT ENTRY 12 Found.Parsing it ..."));
}

INSTANTIATE_TEST_SUITE_P(NtfsMaximum, NtfsCandidateMaximumTest,
                         ::testing::Values(MaximumCase{3, {4 * 4096, 2 << 20}},
                                           MaximumCase{2, {4 * 4096, 2 << 20}},
                                           MaximumCase{1, {4 * 4096}},
                                           MaximumCase{-1, {4 * 4096}}));

TEST(NtfsCandidateTest, ChosenCandidateReadsItsOwnMft) {
  NtfsHarness h(reformattedVolume());
  h.parser.readBootSector();
  ASSERT_EQ(h.parser.findMftCandidates(3), 2);
  EXPECT_FALSE(h.parser.selectMftCandidate(2));
  EXPECT_FALSE(h.parser.selectMftCandidate(-1));
  EXPECT_FALSE(h.parser.runsKnown);

  ASSERT_TRUE(h.parser.selectMftCandidate(1));
  EXPECT_TRUE(h.parser.runsKnown);
  EXPECT_EQ(h.parser.clusterSize, 2048U);
  h.parser.mode = NtfsMode::Advanced;
  h.parser.readMftRecords();
  h.parser.finishEntryTable();
  EXPECT_EQ(h.find("old.txt"), 41);
  EXPECT_EQ(h.childNames(40), std::vector<std::string>{"old.txt"});
  EXPECT_EQ(h.find("current.txt"), -1);

  ASSERT_TRUE(h.parser.selectMftCandidate(0));
  EXPECT_EQ(h.parser.clusterSize, 4096U);
}

// Eight records in a row, the last one "$Boot": the first one's name decides.
TEST(NtfsCandidateTest, OnlyAnMftRecordSevenBeforeBootCounts) {
  for (const auto &[first, want] : std::vector<std::pair<std::string, int>>{
           {"$MFT", 1}, {"$MFTMirr", 0}, {"$MF", 0}, {"$MFTx", 1}, {"MFT", 0}}) {
    SCOPED_TRACE(first);
    std::vector<std::uint8_t> image(2 << 20);
    for (std::uint64_t i = 0; i < 8; ++i) {
      const std::string name = i == 0 ? first : i == 7 ? "$Boot" : "r" + std::to_string(i);
      const std::vector<std::uint8_t> record =
          NtfsBuilder::encodeRecord(NtfsBuilder::namedRecord(name), i);
      std::copy(record.begin(), record.end(), image.begin() + (1 << 20) + i * 1024);
    }
    NtfsHarness h(std::move(image));
    h.parser.readBootSector();
    EXPECT_EQ(h.parser.findMftCandidates(3), want);
  }
}

TEST(NtfsCandidateTest, StopEndsTheSearchAndIsCleared) {
  NtfsHarness h(reformattedVolume());
  h.parser.readBootSector();
  h.control.requestStop();
  EXPECT_EQ(h.parser.findMftCandidates(3), 0);
  EXPECT_FALSE(h.control.stopRequested());
}

} // namespace
} // namespace quillon
