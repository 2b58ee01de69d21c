// FileReadSeekVHD: block mapping of dynamic images, fixed images, footer choice and refusals.
#include "core/byte_order.h"
#include "core/progress.h"
#include "disk/vhd_reader.h"
#include "support/file_util.h"
#include "support/temp_dir.h"
#include "support/vhd_vdi_builder.h"

#include <array>
#include <functional>
#include <gtest/gtest.h>

namespace quillon {
namespace {

using test::diskPatternBytes;
using test::kKiB;
using test::kMiB;
using test::VhdLayout;
using Bytes8 = std::vector<std::uint8_t>;

class VhdReaderTest : public ::testing::Test {
protected:
  std::filesystem::path write(const Bytes8 &image, const std::string &name = "disk.vhd") {
    const std::filesystem::path p = dir / name;
    test::writeFileBytes(p, image);
    return p;
  }

  static Bytes8 readDisk(FileReadSeekVHD &r, std::uint64_t offset, std::size_t length) {
    Bytes8 out(length, 0xAB);
    EXPECT_TRUE(r.seek(offset));
    EXPECT_TRUE(r.read(out.data(), out.size()));
    return out;
  }

  test::TempDir dir;
  RecordingProgress rec;
};

// What a dynamic VHD holds at disk bytes [offset, offset + length), worked out from the file's
// own block table with the given bitmap size.
Bytes8 expectedFromFile(const Bytes8 &file, const VhdLayout &layout, std::uint64_t bitmapBytes,
                        std::uint64_t offset, std::size_t length) {
  Bytes8 out(length, 0);
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint64_t x = offset + i;
    const std::uint32_t entry = be32(file, layout.tableOffset + 4 * (x / layout.blockSize));
    if (entry != 0xFFFFFFFF) {
      out[i] = file.at(std::uint64_t{entry} * 512 + bitmapBytes + x % layout.blockSize);
    }
  }
  return out;
}

TEST_F(VhdReaderTest, DynamicBlocksMapPastTheirBitmap) {
  struct Case {
    const char *name;
    VhdLayout layout;
    std::uint64_t bitmapBytes;
    std::uint64_t offset;
    std::size_t length;
  };
  const Case cases[] = {
      {"sector 4096 is block 1's first data sector", {.allocated = {1}}, 512, 4096 * 512, 512},
      {"512 KiB blocks, table not at 1536",
       {.diskSize = 4 * kMiB, .blockSize = 512 * kKiB, .tableOffset = 8192, .allocated = {3, 1}},
       512,
       512 * kKiB + 1024,
       4096},
      {"4 MiB blocks carry a 1024-byte bitmap",
       {.diskSize = 8 * kMiB, .blockSize = 4 * kMiB, .allocated = {1}},
       1024,
       4 * kMiB + 512,
       1024},
      {"4 KiB blocks, byte offset, into a hole",
       {.diskSize = 64 * kKiB, .blockSize = 4096, .allocated = {5, 2}},
       512,
       5 * 4096 + 1000,
       5000},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes8 file = test::buildDynamicVhd(c.layout);
    FileReadSeekVHD r;
    ASSERT_TRUE(r.open(write(file)));
    EXPECT_EQ(r.kindText(), "VHD dynamic");
    EXPECT_EQ(r.sectorCount(), c.layout.diskSize / 512);
    const Bytes8 got = readDisk(r, c.offset, c.length);
    EXPECT_EQ(got, expectedFromFile(file, c.layout, c.bitmapBytes, c.offset, c.length));
    EXPECT_EQ(Bytes8(got.begin(), got.begin() + 256), diskPatternBytes(c.offset, 256));
  }
}

TEST_F(VhdReaderTest, ReadsSpanBlocksAndHolesAndContinue) {
  const VhdLayout layout{.diskSize = 8 * kMiB, .allocated = {2, 0}};
  FileReadSeekVHD r;
  ASSERT_TRUE(r.open(write(test::buildDynamicVhd(layout))));

  // From 1000 bytes before the end of block 0, over the hole of block 1, into block 2.
  const std::uint64_t start = 2 * kMiB - 1000;
  const Bytes8 got = readDisk(r, start, 2 * kMiB + 3000);
  EXPECT_EQ(Bytes8(got.begin(), got.begin() + 1000), diskPatternBytes(start, 1000));
  EXPECT_EQ(Bytes8(got.begin() + 1000, got.begin() + 1000 + 2 * kMiB), Bytes8(2 * kMiB, 0));
  EXPECT_EQ(Bytes8(got.end() - 2000, got.end()), diskPatternBytes(4 * kMiB, 2000));

  // A read without a new seek continues where the last one stopped.
  Bytes8 next(700);
  ASSERT_TRUE(r.read(next.data(), next.size()));
  EXPECT_EQ(next, diskPatternBytes(4 * kMiB + 2000, 700));

  // Past the end of the disk: zeros, not the footer.
  EXPECT_EQ(readDisk(r, 8 * kMiB - 512, 1024).back(), 0);
  r.baseOffset = 4 * kMiB;
  EXPECT_EQ(readDisk(r, 512, 512), diskPatternBytes(4 * kMiB + 512, 512));
}

TEST_F(VhdReaderTest, FixedImageIsRawDataBeforeTheFooter) {
  const std::uint64_t size = 3 * kMiB + 1536;
  FileReadSeekVHD r;
  ASSERT_TRUE(r.open(write(test::buildFixedVhd(size), "disk.img")));
  EXPECT_TRUE(r.isFixed());
  EXPECT_EQ(r.kindText(), "VHD fixed");
  EXPECT_EQ(r.sectorCount(), size / 512);
  EXPECT_EQ(r.imageSize, size + 512);
  EXPECT_EQ(readDisk(r, 0, size), diskPatternBytes(0, size));
  EXPECT_EQ(readDisk(r, size - 512, 1024), [&] {
    Bytes8 v = diskPatternBytes(size - 512, 512);
    v.resize(1024, 0);
    return v;
  }());
}

TEST_F(VhdReaderTest, FooterIsFoundAtEitherEnd) {
  const VhdLayout layout{.diskSize = 4 * kMiB, .allocated = {1}};
  const Bytes8 good = test::buildDynamicVhd(layout);
  struct Case {
    const char *name;
    std::function<void(Bytes8 &)> damage;
  };
  const Case cases[] = {
      {"first copy gone", [](Bytes8 &b) { std::fill_n(b.begin(), 512, 0); }},
      {"first copy with a bad checksum", [](Bytes8 &b) { b[48] ^= 0x40; }},
      {"end of the file lost", [](Bytes8 &b) { b.resize(b.size() - 512 - 4096); }},
      {"511-byte footer at the end",
       [](Bytes8 &b) {
         std::fill_n(b.begin(), 512, 0);
         b.pop_back();
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Bytes8 image = good;
    c.damage(image);
    FileReadSeekVHD r;
    ASSERT_TRUE(r.open(write(image)));
    EXPECT_EQ(r.sectorCount(), layout.diskSize / 512);
    EXPECT_EQ(readDisk(r, 2 * kMiB, 512), diskPatternBytes(2 * kMiB, 512));
  }
}

TEST_F(VhdReaderTest, BlockBeyondTheFileReadsAsZeros) {
  const VhdLayout layout{.diskSize = 4 * kMiB, .allocated = {0, 1}};
  Bytes8 image = test::buildDynamicVhd(layout);
  putBe(image, layout.tableOffset + 4, 0x00FFFFFF, 4);
  FileReadSeekVHD r;
  ASSERT_TRUE(r.open(write(image)));
  const Bytes8 got = readDisk(r, 2 * kMiB - 512, 1024);
  EXPECT_EQ(Bytes8(got.begin(), got.begin() + 512), diskPatternBytes(2 * kMiB - 512, 512));
  EXPECT_EQ(Bytes8(got.begin() + 512, got.end()), Bytes8(512, 0));
}

TEST_F(VhdReaderTest, RefusesWhatItCannotServe) {
  const VhdLayout small{.diskSize = 8 * kMiB, .allocated = {0}};
  const auto dynamic = [](const VhdLayout &layout, std::function<void(Bytes8 &)> mend = {}) {
    Bytes8 b = test::buildDynamicVhd(layout);
    if (mend) {
      mend(b);
    }
    return b;
  };
  Bytes8 vmdk(4096, 0);
  putLe(vmdk, 0, 0x564D444B, 4); // "KDMV"
  struct Case {
    const char *name;
    Bytes8 image;
    const char *fileName;
    std::string text;
  };
  const Case cases[] = {
      {"a sparse VMDK", vmdk, "disk.vmdk", "not a vhd file"},
      {"zeros named .vhd", Bytes8(8192, 0), "disk.vhd", "not a vhd file"},
      {"huge block table", dynamic({.diskSize = 8 * kMiB, .maxTableEntries = 0xFFFFFFFF}),
       "disk.vhd",
       "damaged VHD header: 4294967295 block table entries, but a disk of 8388608 bytes needs "
       "only 4"},
      {"block table past the end of the file",
       dynamic(small, [](Bytes8 &b) { putBe(b, 512 + 16, 1ULL << 40, 8); }), "disk.vhd",
       "damaged VHD header: the block table lies beyond the end of the file"},
      {"block size not a power of two",
       dynamic(small, [](Bytes8 &b) { putBe(b, 512 + 32, 3000, 4); }), "disk.vhd",
       "damaged VHD header: block size 3000 is not a power of two of at least 512"},
      {"no dynamic header", dynamic(small, [](Bytes8 &b) { b[512] = 'X'; }), "disk.vhd",
       "damaged VHD: no dynamic disk header (cxsparse) where the footer points"},
      {"differencing", dynamic({.diskType = 4}), "child.vhd",
       "differencing VHD images are not supported: the image holds only the changes to its "
       "parent disk; open the parent image instead"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    RecordingProgress progress;
    FileReadSeekVHD r;
    r.setProgress(&progress);
    EXPECT_FALSE(r.open(write(c.image, c.fileName)));
    ASSERT_EQ(progress.messages().size(), 1U);
    EXPECT_EQ(progress.messages()[0].text, c.text);
    EXPECT_EQ(progress.messages()[0].caption, kAppTitle);
    EXPECT_EQ(r.lastError(), c.text);
    // A refused image serves nothing, not a disk half set up from its header.
    EXPECT_EQ(r.sectorCount(), 0U);
    std::array<std::uint8_t, 512> sector{};
    sector.fill(0xAB);
    EXPECT_TRUE(r.readAt(0, sector));
    EXPECT_EQ(sector[0], 0);
  }

  FileReadSeekVHD missing;
  missing.setProgress(&rec);
  EXPECT_FALSE(missing.open(dir / "absent.vhd"));
  ASSERT_EQ(rec.messages().size(), 1U);
  EXPECT_EQ(rec.messages()[0].text, "invalid handle ...");
}

} // namespace
} // namespace quillon
