// NTFS boot sector and MFT reading: sizes from the boot sector (and what happens when they are
// insane), the update-sequence fixup, fragmented and sparse MFT runs, run lists that claim more
// than the volume, and finding the $MFT when the boot sector is damaged.
#include "support/ntfs_builder.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quillon {
namespace {

using test::NtfsBuilder;
using test::NtfsGeometry;
using test::NtfsHarness;

// A volume with a folder and a file in it, at record numbers past the system records.
NtfsBuilder sampleVolume(NtfsGeometry geometry = {}) {
  NtfsBuilder b(std::move(geometry));
  b.folder(40, "Docs").file(41, "report.txt", 40, {'h', 'i'});
  return b;
}

struct GeometryCase {
  const char *what;
  std::uint16_t bytesPerSector;
  std::uint8_t sectorsPerCluster;
  std::uint32_t recordSize;
  std::uint64_t volumeBytes;
  std::uint64_t mftCluster;
  std::uint64_t mirrorCluster;
  std::uint64_t wantCluster;
};

void PrintTo(const GeometryCase &c, std::ostream *os) { *os << c.what; }

class NtfsGeometryTest : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(NtfsGeometryTest, ReadsEveryRecordAtItsNumber) {
  const GeometryCase &c = GetParam();
  NtfsGeometry g;
  g.bytesPerSector = c.bytesPerSector;
  g.sectorsPerCluster = c.sectorsPerCluster;
  g.recordSize = c.recordSize;
  g.volumeBytes = c.volumeBytes;
  g.mftCluster = c.mftCluster;
  g.mirrorCluster = c.mirrorCluster;
  const NtfsBuilder b = sampleVolume(g);
  NtfsHarness h(b.build());
  h.standardScan();

  EXPECT_EQ(h.parser.clusterSize, c.wantCluster);
  EXPECT_EQ(h.parser.recordSize, c.recordSize);
  EXPECT_EQ(h.parser.volumeSize, c.volumeBytes - c.bytesPerSector);
  // Every record of the MFT's clusters, then ORPHAN_ENTRY.
  ASSERT_EQ(h.parser.entries.size(), b.mftRuns()[0].count * c.wantCluster / c.recordSize + 1);
  EXPECT_EQ(h.entry(41).name, "report.txt");
  EXPECT_EQ(h.childNames(40), std::vector<std::string>{"report.txt"});
}

INSTANTIATE_TEST_SUITE_P(
    NtfsSizes, NtfsGeometryTest,
    ::testing::Values(GeometryCase{"4k_clusters", 512, 8, 1024, 4 << 20, 4, 2, 4096},
                      GeometryCase{"512_clusters", 512, 1, 1024, 4 << 20, 32, 16, 512},
                      GeometryCase{"records_4096", 512, 8, 4096, 4 << 20, 16, 8, 4096},
                      GeometryCase{"sectors_4096", 4096, 1, 4096, 4 << 20, 16, 8, 4096},
                      GeometryCase{"large_clusters", 512, 0xF4, 1024, 8 << 20, 1, 2, 2 << 20}),
    [](const auto &info) { return std::string(info.param.what); });

struct BootFieldCase {
  const char *what;
  std::size_t offset;
  std::vector<std::uint8_t> bytes;
  std::uint64_t wantCluster;
  std::uint64_t wantRecord;
};

void PrintTo(const BootFieldCase &c, std::ostream *os) { *os << c.what; }

class NtfsBootFieldTest : public ::testing::TestWithParam<BootFieldCase> {};

// Insane boot-sector fields fall back to 4096-byte clusters and 1024-byte records.
TEST_P(NtfsBootFieldTest, SizesFromTheBootSector) {
  const BootFieldCase &c = GetParam();
  NtfsHarness h(sampleVolume().write(c.offset, c.bytes).build());
  ASSERT_TRUE(h.parser.readBootSector());
  EXPECT_EQ(h.parser.clusterSize, c.wantCluster);
  EXPECT_EQ(h.parser.recordSize, c.wantRecord);
}

INSTANTIATE_TEST_SUITE_P(NtfsFields, NtfsBootFieldTest,
                         ::testing::Values(BootFieldCase{"spc_3", 13, {3}, 4096, 1024},
                                           BootFieldCase{"spc_0", 13, {0}, 4096, 1024},
                                           BootFieldCase{"bps_0", 11, {0, 0}, 4096, 1024},
                                           BootFieldCase{"bps_768", 11, {0x00, 0x03}, 4096, 1024},
                                           BootFieldCase{"spc_2", 13, {2}, 1024, 1024},
                                           BootFieldCase{"record_minus_12", 64, {0xF4}, 4096, 4096},
                                           BootFieldCase{"record_one_cluster", 64, {1}, 4096, 4096},
                                           BootFieldCase{"record_2048", 64, {0xF5}, 4096, 1024},
                                           BootFieldCase{"record_zero", 64, {0}, 4096, 1024},
                                           BootFieldCase{
                                               "record_eight_clusters", 64, {8}, 4096, 1024}),
                         [](const auto &info) { return std::string(info.param.what); });

TEST(NtfsBootTest, VolumeSizeFromTheListWithoutSignature) {
  NtfsHarness valid(sampleVolume().build(), "100   MB");
  EXPECT_TRUE(valid.parser.readBootSector());
  EXPECT_EQ(valid.parser.volumeSize, (4U << 20) - 512);

  NtfsHarness damaged(sampleVolume().write(3, {'X'}).build(), "100   MB");
  EXPECT_TRUE(damaged.parser.readBootSector());
  EXPECT_EQ(damaged.parser.volumeSize, 100U << 20);
  EXPECT_EQ(damaged.parser.clusterSize, 4096U);

  NtfsHarness nothing(std::vector<std::uint8_t>(1 << 20), "0");
  EXPECT_FALSE(nothing.parser.readBootSector());
}

// The update sequence replaced the last two bytes of the record's first sector; only the fixup
// brings back the name that crosses them.
TEST(NtfsBootTest, FixupRestoresANameAcrossTheSectorEnd) {
  std::string name;
  for (int i = 0; i < 150; ++i) {
    name += static_cast<char>('a' + i % 26);
  }
  NtfsHarness h(NtfsBuilder().file(40, name).build());
  h.standardScan();
  EXPECT_EQ(h.entry(40).name, name);
  const std::vector<std::string> top = h.childNames(5);
  EXPECT_EQ(top.back(), kOrphanEntryName);
  EXPECT_NE(std::ranges::find(top, name), top.end());
}

TEST(NtfsBootTest, FragmentedMftWithASparseRun) {
  NtfsGeometry g;
  g.mftRuns = {{4, 4, false}, {0, 2, true}, {40, 4, false}, {20, 6, false}};
  NtfsBuilder b(g);
  b.file(30, "in_third_run.txt").file(45, "in_last_run.txt").folder(60, "Last");
  NtfsHarness h(b.build());
  h.standardScan();

  ASSERT_EQ(h.parser.entries.size(), 16U * 4 + 1);
  for (std::int64_t i = 16; i < 24; ++i) { // the sparse run: nothing was read there
    EXPECT_FALSE(h.entry(i).isRecord()) << i;
    EXPECT_EQ(h.entry(i).ownIndex, i);
  }
  EXPECT_EQ(h.entry(30).name, "in_third_run.txt");
  EXPECT_EQ(h.entry(30).recordOffset, 40U * 4096 + 6 * 1024);
  EXPECT_EQ(h.entry(45).name, "in_last_run.txt");
  EXPECT_EQ(h.entry(60).name, "Last");
  for (const char *text : {"boot sector is fine.Getting run of mft entry...", "Got run...",
                           "parsing 4 cluster of MFT run.", "parsing 0 cluster of MFT run.",
                           "parsing 40 cluster of MFT run.", "parsing 20 cluster of MFT run.",
                           "parsing MFT entry 0..."}) {
    EXPECT_TRUE(h.progress.sawStatus(text)) << text;
  }
}

// Run lists whose claims reach far past the volume: reading stays within the volume and ends.
TEST(NtfsBootTest, RunListsClaimingTerabytesAreCutToTheVolume) {
  struct Case {
    const char *what;
    std::vector<std::uint8_t> runs;
    bool fileFound;
  };
  const std::vector<Case> cases = {
      // 2^40 clusters from cluster 4.
      {"huge_count", {0x16, 0, 0, 0, 0, 0, 1, 0x04, 0}, true},
      // A first run beyond the volume's end.
      {"start_past_end", {0x61, 16, 0, 0, 0, 0, 0, 1, 0}, false},
      // 2^40 sparse clusters, then the real run.
      {"huge_sparse", {0x06, 0, 0, 0, 0, 0, 1, 0x11, 16, 4, 0}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    NtfsBuilder b = sampleVolume();
    test::NtfsAttribute &data = b.record(0).attributes[0];
    data.rawRuns = c.runs;
    data.lastVcn = (1ULL << 41);
    NtfsHarness h(b.build());
    h.standardScan();
    EXPECT_LE(h.parser.entries.size(), (4U << 20) / 1024 + 1);
    EXPECT_EQ(h.find("report.txt") == 41, c.fileFound);
    for (const ntfs_record::Run &r : h.parser.getAttributeRuns(4 * 4096, 0x80)) {
      EXPECT_TRUE(r.sparse || r.lcn + r.count <= 1024);
    }
  }
}

TEST(NtfsBootTest, DamagedMftRecordIsReadFromTheMirror) {
  NtfsHarness h(sampleVolume().write(4 * 4096, std::vector<std::uint8_t>(1024, 0xEE)).build());
  h.standardScan();
  EXPECT_EQ(h.childNames(40), std::vector<std::string>{"report.txt"});
}

struct CorruptBootCase {
  const char *what;
  std::uint8_t sectorsPerCluster;
  bool mirror;
  bool damageMirrorMft;        // the mirror's copy of record 0 is unreadable
  std::uint64_t zeroedRecords; // leading records of the MFT itself that are unreadable
  bool found;
  std::uint64_t wantEntries; // records read (ORPHAN_ENTRY not counted)
};

void PrintTo(const CorruptBootCase &c, std::ostream *os) { *os << c.what; }

class NtfsCorruptBootTest : public ::testing::TestWithParam<CorruptBootCase> {};

TEST_P(NtfsCorruptBootTest, ScansForTheMftRecord) {
  const CorruptBootCase &c = GetParam();
  NtfsGeometry g;
  g.sectorsPerCluster = c.sectorsPerCluster;
  g.mftCluster = 64;
  g.mirrorCluster = 8;
  g.writeMirror = c.mirror;
  NtfsBuilder b = sampleVolume(g);
  const std::uint64_t cs = b.clusterSize();
  b.write(0, std::vector<std::uint8_t>(512, 0));
  if (c.damageMirrorMft) {
    b.write(8 * cs, std::vector<std::uint8_t>(1024, 0));
  }
  b.write(64 * cs, std::vector<std::uint8_t>(1024 * c.zeroedRecords, 0));
  NtfsHarness h(b.build());
  h.parser.readBootSector();
  EXPECT_EQ(h.parser.locateMftRuns(), c.found);
  EXPECT_TRUE(h.progress.sawStatus("boot sector corrupt.Scanning for first mft entry..."));
  h.parser.readMftRecords();
  h.parser.finishEntryTable();
  EXPECT_EQ(h.parser.entries.size(), c.wantEntries + 1);
  if (c.wantEntries == 64) {
    EXPECT_TRUE(h.progress.sawStatus("found mft entry.getting its run ..."));
    EXPECT_TRUE(h.progress.sawStatus("got run ..."));
    EXPECT_EQ(h.parser.clusterSize, cs);
    EXPECT_EQ(h.childNames(40), std::vector<std::string>{"report.txt"});
  }
}

INSTANTIATE_TEST_SUITE_P(
    NtfsCases, NtfsCorruptBootTest,
    ::testing::Values(CorruptBootCase{"mirror_copy_first", 8, true, false, 0, true, 64},
                      CorruptBootCase{"mft_itself_1k_clusters", 2, false, false, 0, true, 64},
                      CorruptBootCase{"mirror_copy_of_mft_damaged", 8, true, true, 0, true, 64},
                      CorruptBootCase{"only_mftmirr_left", 8, true, true, 1, true, 4},
                      CorruptBootCase{"nothing", 8, false, false, 2, false, 0}),
    [](const auto &info) { return std::string(info.param.what); });

TEST(NtfsBootTest, StopEndsReadingAtOnce) {
  NtfsHarness h(sampleVolume().build());
  h.parser.readBootSector();
  h.parser.locateMftRuns();
  h.control.requestStop();
  h.parser.readMftRecords();
  EXPECT_TRUE(h.parser.entries.empty());
  h.parser.finishEntryTable(); // still ends with ORPHAN_ENTRY
  ASSERT_EQ(h.parser.entries.size(), 1U);
  EXPECT_EQ(h.entry(0).name, kOrphanEntryName);
}

} // namespace
} // namespace quillon
