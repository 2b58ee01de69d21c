// Descriptor parsing and split VMDK sets, in both modes.
#include "core/progress.h"
#include "disk/vmdk_descriptor.h"
#include "disk/vmdk_split_reader.h"
#include "support/file_util.h"
#include "support/temp_dir.h"
#include "support/vmdk_builder.h"

#include <gtest/gtest.h>

namespace quillon::test {
namespace {

std::vector<std::uint8_t> sectorAt(readWriteInterface &r, std::uint64_t sector) {
  std::vector<std::uint8_t> out(512, 0xEE);
  EXPECT_TRUE(r.seek(sector * 512));
  EXPECT_TRUE(r.read(out.data(), out.size()));
  return out;
}

SparseVmdkLayout fullSpec(std::uint64_t capacity, std::uint8_t fill) {
  SparseVmdkLayout s;
  s.capacity = capacity;
  for (std::uint64_t g = 0; g * s.grainSize < capacity; ++g) {
    s.grains[g] = fill;
  }
  return s;
}

TEST(VmdkDescriptor, ParsesKeysAndExtentLines) {
  const VmdkDescriptor d = parseVmdkDescriptor(
      "# Disk DescriptorFile\nversion=1\nCID=abc\nparentCID=ffffffff\n"
      "createType=\"twoGbMaxExtentFlat\"\r\n\n# Extent description\n"
      "RW 4192256 FLAT \"big-f001.vmdk\" 0\n"
      "RDONLY 10 sparse \"with space.vmdk\"\n"
      "RW 20 ZERO\n"
      "RW x FLAT \"bad.vmdk\"\n"
      "RW 5 FLAT \"unterminated\n"
      "\n# The Disk Data Base\nddb.geometry.heads = \"16\"\n\0garbage after NUL\nRW 1 FLAT \"no\"");
  EXPECT_EQ(d.info.version, "1");
  EXPECT_EQ(d.info.CID, "abc");
  EXPECT_EQ(d.info.createType, "twoGbMaxExtentFlat");
  EXPECT_EQ(d.info.heads, "16");
  ASSERT_EQ(d.extents.size(), 3U);
  EXPECT_EQ(d.extents[0].sectorCount, 4192256U);
  EXPECT_EQ(d.extents[0].fileName, "big-f001.vmdk");
  EXPECT_EQ(d.extents[1].type, "SPARSE");
  EXPECT_EQ(d.extents[1].fileName, "with space.vmdk");
  EXPECT_EQ(d.extents[2].type, "ZERO");
  EXPECT_TRUE(looksLikeVmdkDescriptor("# Disk DescriptorFile\n"));
  EXPECT_FALSE(looksLikeVmdkDescriptor(std::string("KDMV\0\0createType=", 18)));
}

TEST(VmdkSplit, DescriptorWithTwoSparseExtents) {
  TempDir dir;
  const SparseVmdkLayout first = fullSpec(100, 0x01);
  const SparseVmdkLayout second = fullSpec(200, 0x02);
  writeFileBytes(dir / "d-s001.vmdk", buildSparseVmdk(first));
  writeFileBytes(dir / "d-s002.vmdk", buildSparseVmdk(second));
  writeFileText(dir / "d.vmdk", "createType=\"twoGbMaxExtentSparse\"\n"
                                "RW 100 SPARSE \"d-s001.vmdk\"\nRW 200 SPARSE \"d-s002.vmdk\"\n");
  FileReadSeekVmdkSplit r;
  r.descriptorMode = true;
  ASSERT_TRUE(r.open(dir / "d.vmdk")) << r.lastError();
  EXPECT_EQ(r.sectorCount(), 300U);
  // Disk sector 150 is sector 50 of the second extent; a read across the boundary takes each
  // sector from its own file; 300 is past the end.
  EXPECT_EQ(sectorAt(r, 150), expectedSector(second, 50));
  std::vector<std::uint8_t> across(1024);
  ASSERT_TRUE(r.seek(99 * 512));
  ASSERT_TRUE(r.read(across.data(), across.size()));
  EXPECT_TRUE(std::equal(across.begin(), across.begin() + 512, expectedSector(first, 99).begin()));
  EXPECT_TRUE(std::equal(across.begin() + 512, across.end(), expectedSector(second, 0).begin()));
  EXPECT_EQ(sectorAt(r, 300), std::vector<std::uint8_t>(512, 0));
}

TEST(VmdkSplit, MissingExtentKeepsTheLayout) {
  TempDir dir;
  const SparseVmdkLayout second = fullSpec(100, 0x02);
  writeFileBytes(dir / "b.vmdk", buildSparseVmdk(second));
  writeFileText(dir / "d.vmdk", "RW 100 SPARSE \"gone.vmdk\"\nRW 100 SPARSE \"b.vmdk\"\n");
  FileReadSeekVmdkSplit r;
  RecordingProgress rec;
  r.setProgress(&rec);
  r.descriptorMode = true;
  ASSERT_TRUE(r.open(dir / "d.vmdk"));
  ASSERT_EQ(rec.messages().size(), 1U);
  EXPECT_EQ(rec.messages()[0].text,
            "extent file cannot be opened, its sectors read as zeros: gone.vmdk");
  EXPECT_EQ(sectorAt(r, 10), std::vector<std::uint8_t>(512, 0));
  EXPECT_EQ(sectorAt(r, 110), expectedSector(second, 10));
}

TEST(VmdkSplit, ExtentNamesMayNotLeaveTheFolder) {
  TempDir dir;
  std::filesystem::create_directory(dir / "sub");
  writeFileBytes(dir / "outside.bin", std::vector<std::uint8_t>(1024, 7));
  for (const char *name :
       {"../outside.bin", "/etc/hostname", "sub/../../outside.bin", "..\\outside.bin"}) {
    writeFileText(dir / "sub" / "d.vmdk", std::string("RW 2 FLAT \"") + name + "\" 0\n");
    FileReadSeekVmdkSplit r;
    RecordingProgress rec;
    r.setProgress(&rec);
    r.descriptorMode = true;
    EXPECT_FALSE(r.open(dir / "sub" / "d.vmdk")) << name;
    EXPECT_EQ(r.lastError(),
              std::string("extent file name leaves the descriptor's folder: ") + name);
    EXPECT_EQ(rec.messages().size(), 1U);
  }
  EXPECT_EQ(FileReadSeekVmdkSplit::resolveExtentName("/a", "b/c.vmdk"),
            std::filesystem::path("/a/b/c.vmdk"));
}

TEST(VmdkSplit, DescriptorSizeLimit) {
  TempDir dir;
  writeFileBytes(dir / "x.bin", std::vector<std::uint8_t>(1024, 7));
  for (const std::size_t size : {51199U, 51200U}) {
    std::string text = "RW 2 FLAT \"x.bin\" 0\n";
    text.resize(size, ' ');
    writeFileText(dir / "d.vmdk", text);
    FileReadSeekVmdkSplit r;
    r.descriptorMode = true;
    EXPECT_EQ(r.open(dir / "d.vmdk"), size == 51199U) << size;
    if (size == 51200U) {
      EXPECT_EQ(r.lastError(), "file size greater than 50 kb .possibly not a descriptor file");
    }
  }
}

TEST(VmdkSplit, NumberedNames) {
  const struct {
    const char *prefix;
    const char *name;
    std::optional<std::uint64_t> n;
  } cases[] = {
      {"disk-", "disk-s001.vmdk", 1},
      {"disk-", "disk-s011.vmdk", 11},
      {"disk-", "disk-2.vmdk", 2},
      {"disk-", "disk-f003.VMDK", 3},
      {"disk-", "disk-flat.vmdk", std::nullopt},
      {"disk-", "disk-s1x.vmdk", std::nullopt},
      {"disk-", "other-s001.vmdk", std::nullopt},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(FileReadSeekVmdkSplit::extentNumber(c.prefix, c.name), c.n) << c.name;
  }
}

TEST(VmdkSplit, NumberedSetStopsAtTheFirstGap) {
  TempDir dir;
  for (const char *name : {"disk-1.vmdk", "disk-2.vmdk", "disk-4.vmdk"}) {
    writeFileBytes(dir / name, buildSparseVmdk(fullSpec(100, 0x05)));
  }
  FileReadSeekVmdkSplit r;
  ASSERT_TRUE(r.open(dir / "disk-2.vmdk"));
  EXPECT_EQ(r.extentReaders.size(), 2U);
  EXPECT_EQ(r.sectorCount(), 200U);

  FileReadSeekVmdkSplit none;
  EXPECT_FALSE(none.open(dir / "nodash.vmdk"));
  EXPECT_EQ(none.lastError(),
            "Possibly not a split file . Go back and try without checking the split check box");
}

} // namespace
} // namespace quillon::test
