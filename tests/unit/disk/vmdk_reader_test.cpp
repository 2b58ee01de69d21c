// Sparse, stream-optimized and flat VMDK extents, and the shared read loop over them.
#include "core/byte_order.h"
#include "core/progress.h"
#include "disk/vmdk_reader.h"
#include "support/file_util.h"
#include "support/temp_dir.h"
#include "support/vmdk_builder.h"

#include <gtest/gtest.h>

namespace quillon::test {
namespace {

std::vector<std::uint8_t> readSectors(readWriteInterface &r, std::uint64_t first,
                                      std::uint64_t count) {
  std::vector<std::uint8_t> out(count * 512, 0xEE);
  EXPECT_TRUE(r.seek(first * 512));
  EXPECT_TRUE(r.read(out.data(), out.size()));
  return out;
}

std::vector<std::uint8_t> expectedSectors(const SparseVmdkLayout &layout, std::uint64_t first,
                                          std::uint64_t count) {
  std::vector<std::uint8_t> out;
  for (std::uint64_t s = first; s < first + count; ++s) {
    const auto e = expectedSector(layout, s);
    out.insert(out.end(), e.begin(), e.end());
  }
  return out;
}

class VmdkSparse : public ::testing::TestWithParam<bool> {
protected:
  // Capacity 100 with grainSize 8 and 4 entries per table: a table covers 32 sectors, so the
  // directory has 4 entries (the last one partly used).
  SparseVmdkLayout layout() const {
    SparseVmdkLayout s;
    s.compressed = GetParam();
    s.grains = {{0, 0x11}, {1, 0x22}, {3, 0x33}, {9, 0x99}, {10, 0xAA}, {12, 0xCC}};
    s.forcedEntries = {{12, 1}}; // a grain written as zeros
    s.reverseGrainOrder = true;  // grains do not lie in disk order in the file
    return s;
  }
  std::unique_ptr<FileReadSeekVmdk> open(const SparseVmdkLayout &s) {
    writeFileBytes(dir_ / "x.vmdk", buildSparseVmdk(s));
    auto r = std::make_unique<FileReadSeekVmdk>();
    EXPECT_TRUE(r->open(dir_ / "x.vmdk")) << r->lastError();
    return r;
  }
  TempDir dir_;
};

TEST_P(VmdkSparse, MapsEverySectorThroughDirectoryAndTables) {
  const SparseVmdkLayout s = layout();
  auto opened = open(s);
  FileReadSeekVmdk &r = *opened;
  EXPECT_EQ(r.sectorCount(), 100U);
  EXPECT_EQ(r.grainDirectorySize(), 4U);
  // Sector 77: directory entry 2, table entry 1, sector 5 of grain 9.
  EXPECT_EQ(readSectors(r, 77, 1), expectedSector(s, 77));
  EXPECT_EQ(expectedSector(s, 77)[4], 0x99);
  // The whole disk in one read, and again sector by sector.
  EXPECT_EQ(readSectors(r, 0, 100), expectedSectors(s, 0, 100));
  for (std::uint64_t sector = 0; sector < 100; ++sector) {
    ASSERT_EQ(readSectors(r, sector, 1), expectedSector(s, sector)) << sector;
  }
}

TEST_P(VmdkSparse, ReadLoopRules) {
  const SparseVmdkLayout s = layout();
  auto opened = open(s);
  FileReadSeekVmdk &r = *opened;
  // Across the boundary of two grains stored far apart.
  EXPECT_EQ(readSectors(r, 7, 2), expectedSectors(s, 7, 2));
  // Unallocated (grain 2), zeroed (entry 1, grain 12) and past-capacity sectors read as zeros
  // and succeed.
  for (const std::uint64_t sector : {16ULL, 96ULL, 100ULL, 5000ULL}) {
    EXPECT_EQ(readSectors(r, sector, 1), std::vector<std::uint8_t>(512, 0)) << sector;
  }
  EXPECT_FALSE(r.mapped);
  // 1000 bytes: one sector and 488 bytes of the next, both mapped.
  std::vector<std::uint8_t> part(1000);
  ASSERT_TRUE(r.seek(8 * 512));
  ASSERT_TRUE(r.read(part.data(), part.size()));
  const auto two = expectedSectors(s, 8, 2);
  EXPECT_TRUE(std::equal(part.begin(), part.end(), two.begin()));
  // A read without a new seek continues where the last one ended.
  std::vector<std::uint8_t> a(4096);
  std::vector<std::uint8_t> b(512);
  ASSERT_TRUE(r.seek(72 * 512));
  ASSERT_TRUE(r.read(a.data(), a.size()));
  ASSERT_TRUE(r.read(b.data(), b.size()));
  EXPECT_EQ(b, expectedSector(s, 80));
  EXPECT_EQ(r.position(), 72U * 512 + 4096 + 512);
  // baseOffset shifts every seek; byte offsets inside a sector are honoured.
  r.baseOffset = 24 * 512;
  std::vector<std::uint8_t> shifted(100);
  ASSERT_TRUE(r.seek(512 + 7));
  ASSERT_TRUE(r.read(shifted.data(), shifted.size()));
  const auto sector25 = expectedSector(s, 25);
  EXPECT_TRUE(std::equal(shifted.begin(), shifted.end(), sector25.begin() + 7));
}

INSTANTIATE_TEST_SUITE_P(PlainAndCompressed, VmdkSparse, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Compressed" : "Plain"; });

TEST(VmdkSparseHeader, DamagedHeadersAreRefusedBeforeAnyLargeAllocation) {
  TempDir dir;
  const struct {
    std::size_t offset;
    std::uint64_t value;
    std::size_t width;
    const char *error;
  } cases[] = {
      {12, 1ULL << 40, 8, "grain directory would be larger than the file"},
      {12, ~0ULL, 8, "damaged VMDK header"},
      {20, 0, 8, "damaged VMDK header"},
      {20, 12, 8, "damaged VMDK header"}, // grain size not a power of two
      {44, 0, 4, "damaged VMDK header"},
      {44, 0xFFFFFFFF, 4, "damaged VMDK header"},
      {48, 1ULL << 40, 8, "cannot read the VMDK grain directory"},
  };
  for (const auto &c : cases) {
    SparseVmdkLayout layout;
    layout.grains = {{0, 1}};
    auto bytes = buildSparseVmdk(layout);
    putLe(bytes, c.offset, c.value, c.width);
    writeFileBytes(dir / "bad.vmdk", bytes);
    FileReadSeekVmdk r;
    RecordingProgress rec;
    r.setProgress(&rec);
    EXPECT_FALSE(r.open(dir / "bad.vmdk")) << c.offset;
    EXPECT_NE(r.lastError().find(c.error), std::string::npos) << c.offset << ": " << r.lastError();
    ASSERT_EQ(rec.messages().size(), 1U);
    EXPECT_EQ(rec.messages()[0].caption, "Quillon(Full) v3.02");
  }
}

TEST(VmdkSparseHeader, EmbeddedDescriptorIsReadForInformation) {
  TempDir dir;
  SparseVmdkLayout layout;
  layout.grains = {{0, 1}};
  layout.descriptor = "# Disk DescriptorFile\nversion=1\nCID=12345678\nparentCID=ffffffff\n"
                      "createType=\"monolithicSparse\"\n\n# Extent description\n"
                      "RW 100 SPARSE \"x.vmdk\"\n\nddb.geometry.cylinders = \"6\"\n";
  writeFileBytes(dir / "x.vmdk", buildSparseVmdk(layout));
  FileReadSeekVmdk r;
  ASSERT_TRUE(r.open(dir / "x.vmdk"));
  EXPECT_EQ(r.descriptorInfo.createType, "monolithicSparse");
  EXPECT_EQ(r.descriptorInfo.CID, "12345678");
  EXPECT_EQ(r.descriptorInfo.cylinders, "6");
  ASSERT_EQ(r.extents.size(), 1U);
  EXPECT_EQ(r.extents[0].fileName, "x.vmdk");
  EXPECT_EQ(r.extentType, "SPARSE");
  EXPECT_EQ(r.kindText(), "VMDK sparse");
}

TEST(VmdkFlat, FileWithoutTheMagic) {
  TempDir dir;
  std::vector<std::uint8_t> raw(4096);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    raw[i] = static_cast<std::uint8_t>(i * 7);
  }
  writeFileBytes(dir / "raw.img", raw);
  {
    FileReadSeekVmdk r;
    r.extentType = "FLAT";
    ASSERT_TRUE(r.open(dir / "raw.img"));
    EXPECT_EQ(r.sectorCount(), 8U);
    std::vector<std::uint8_t> got(300);
    ASSERT_TRUE(r.seek(1234));
    ASSERT_TRUE(r.read(got.data(), got.size()));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), raw.begin() + 1234));
  }
  {
    // The user said SPARSE, but there is no sparse header: refused, not read as garbage.
    FileReadSeekVmdk r;
    r.extentType = "SPARSE";
    EXPECT_FALSE(r.open(dir / "raw.img"));
    EXPECT_NE(r.lastError().find("no sparse extent header"), std::string::npos);
  }
}

} // namespace
} // namespace quillon::test
