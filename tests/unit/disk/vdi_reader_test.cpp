// FileReadSeekVdi: block map mapping with extra data, free and zero blocks, fixed images and
// refusals.
#include "core/byte_order.h"
#include "core/progress.h"
#include "disk/vdi_reader.h"
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
using test::VdiLayout;
using Bytes8 = std::vector<std::uint8_t>;

constexpr std::uint32_t kFree = 0xFFFFFFFF;
constexpr std::uint32_t kZero = 0xFFFFFFFE;

class VdiReaderTest : public ::testing::Test {
protected:
  std::filesystem::path write(const Bytes8 &image, const std::string &name = "disk.vdi") {
    const std::filesystem::path p = dir / name;
    test::writeFileBytes(p, image);
    return p;
  }

  static Bytes8 readDisk(FileReadSeekVdi &r, std::uint64_t offset, std::size_t length) {
    Bytes8 out(length, 0xAB);
    EXPECT_TRUE(r.seek(offset));
    EXPECT_TRUE(r.read(out.data(), out.size()));
    return out;
  }

  test::TempDir dir;
};

TEST_F(VdiReaderTest, MapEntriesLocateBlocksInTheDataArea) {
  struct Case {
    const char *name;
    VdiLayout layout;
    std::uint64_t offset;
    std::size_t length;
    std::uint64_t fileOffset; // where the first byte lies in the image file
  };
  const Case cases[] = {
      {"byte 1 MiB + 1024 is 1024 bytes into entry 1's block",
       {.map = std::vector<std::uint32_t>{1, 0, 2, 3}},
       kMiB + 1024,
       512,
       1024 + 0 * kMiB + 1024},
      {"extra data before each block",
       {.extraBytes = 512, .map = std::vector<std::uint32_t>{2, 0, 1, 3}},
       2 * kMiB + 3,
       5000,
       1024 + 1 * (kMiB + 512) + 512 + 3},
      {"64 KiB blocks, map not right after the header",
       {.diskSize = 1 * kMiB,
        .blockSize = 64 * kKiB,
        .mapOffset = 4096,
        .map = std::vector<std::uint32_t>{kFree, 3, 2, 1, 0, kZero, kFree, kFree, kFree, kFree,
                                          kFree, kFree, kFree, kFree, kFree, kFree}},
       3 * 64 * kKiB - 100,
       200,
       4608 + 2 * 64 * kKiB + 64 * kKiB - 100},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes8 file = test::buildVdi(c.layout);
    FileReadSeekVdi r;
    ASSERT_TRUE(r.open(write(file)));
    EXPECT_EQ(r.kindText(), "VDI dynamic");
    const Bytes8 got = readDisk(r, c.offset, c.length);
    EXPECT_EQ(got, diskPatternBytes(c.offset, c.length));
    EXPECT_EQ(got.front(), file.at(c.fileOffset));
    EXPECT_EQ(got[1], file.at(c.fileOffset + 1));
  }
}

TEST_F(VdiReaderTest, FreeZeroAndOutsideBlocksReadAsZeros) {
  const VdiLayout layout{.map = std::vector<std::uint32_t>{0, kFree, kZero, 1}};
  Bytes8 image = test::buildVdi(layout);
  FileReadSeekVdi r;
  ASSERT_TRUE(r.open(write(image)));
  const Bytes8 got = readDisk(r, kMiB - 1000, 3 * kMiB);
  EXPECT_EQ(Bytes8(got.begin(), got.begin() + 1000), diskPatternBytes(kMiB - 1000, 1000));
  EXPECT_EQ(Bytes8(got.begin() + 1000, got.begin() + 1000 + 2 * kMiB), Bytes8(2 * kMiB, 0));
  EXPECT_EQ(Bytes8(got.begin() + 1000 + 2 * kMiB, got.end()),
            diskPatternBytes(3 * kMiB, kMiB - 1000));

  // An entry far beyond the end of the file reads as zeros, like a free block.
  putLe(image, 512 + 12, 0xFFFFFFF0, 4);
  FileReadSeekVdi damaged;
  ASSERT_TRUE(damaged.open(write(image, "damaged.vdi")));
  EXPECT_EQ(readDisk(damaged, 3 * kMiB, 4096), Bytes8(4096, 0));
  EXPECT_EQ(readDisk(damaged, 0, 4096), diskPatternBytes(0, 4096));
}

TEST_F(VdiReaderTest, FixedImageReadsWhole) {
  // A fixed image stores every block in order; its allocated count is not needed to read it.
  for (const std::uint32_t allocated : {4U, 0U}) {
    SCOPED_TRACE(allocated);
    const VdiLayout layout{.diskSize = 4 * kMiB - 1536,
                           .blockSize = 1 * kMiB,
                           .imageType = 2,
                           .allocatedCount = allocated};
    FileReadSeekVdi r;
    ASSERT_TRUE(r.open(write(test::buildVdi(layout))));
    EXPECT_TRUE(r.isFixed());
    EXPECT_EQ(r.kindText(), "VDI fixed");
    EXPECT_EQ(r.sectorCount(), layout.diskSize / 512);
    EXPECT_EQ(readDisk(r, 0, layout.diskSize), diskPatternBytes(0, layout.diskSize));
    EXPECT_EQ(readDisk(r, layout.diskSize, 512), Bytes8(512, 0));
  }
}

TEST_F(VdiReaderTest, RefusesWhatItCannotServe) {
  const auto vdi = [](const VdiLayout &layout, std::function<void(Bytes8 &)> mend = {}) {
    Bytes8 b = test::buildVdi(layout);
    if (mend) {
      mend(b);
    }
    return b;
  };
  const VdiLayout plain{};
  struct Case {
    const char *name;
    Bytes8 image;
    std::string text;
  };
  const Case cases[] = {
      {"no signature", vdi(plain, [](Bytes8 &b) { b[64] = 0; }), "not a vdi file"},
      {"too short for a header", Bytes8(300, 0), "not a vdi file"},
      {"huge block count", vdi({.blockCount = 0xFFFFFFFF}),
       "damaged VDI header: 4294967295 blocks, but a disk of 4194304 bytes needs only 4"},
      {"empty dynamic image", vdi({.map = std::vector<std::uint32_t>(4, kFree)}),
       "the VDI image is empty: no block of the dynamic disk has been written"},
      {"block map past the end of the file",
       vdi(plain, [](Bytes8 &b) { putLe(b, 340, 0x7FFFFFFF, 4); }),
       "damaged VDI header: the block map lies beyond the end of the file"},
      {"block size not a power of two", vdi(plain, [](Bytes8 &b) { putLe(b, 376, 3000, 4); }),
       "damaged VDI header: block size 3000 is not a power of two of at least 512"},
      {"zero disk size", vdi(plain, [](Bytes8 &b) { putLe(b, 368, 0, 8); }),
       "damaged VDI header: header size 400, disk size 0 bytes"},
      {"differencing", vdi({.imageType = 4}),
       "differencing VDI images are not supported: the image holds only the changes to its "
       "parent disk; open the parent image instead"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    RecordingProgress progress;
    FileReadSeekVdi r;
    r.setProgress(&progress);
    EXPECT_FALSE(r.open(write(c.image)));
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

  RecordingProgress progress;
  FileReadSeekVdi missing;
  missing.setProgress(&progress);
  EXPECT_FALSE(missing.open(dir / "absent.vdi"));
  ASSERT_EQ(progress.messages().size(), 1U);
  EXPECT_EQ(progress.messages()[0].text, "invalid handle ...");
}

} // namespace
} // namespace quillon
