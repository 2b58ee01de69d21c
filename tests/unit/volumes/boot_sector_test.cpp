// Typing of one boot sector, HFS+ header or ext superblock, as the walk and the scan share it.
#include "volumes/boot_sector.h"

#include "support/disk_builder.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

namespace quillon {
namespace {

using test::DiskBuilder;
using test::FatBoot;

struct Expect {
  BootKind kind;
  std::uint64_t sectors;
};

std::vector<std::uint8_t> fatSector(const FatBoot &boot) {
  DiskBuilder d(1);
  d.fat(0, boot);
  return d.bytes();
}

FatBoot with(FatBoot b, const std::function<void(FatBoot &)> &change) {
  change(b);
  return b;
}

TEST(BootSector, TypesFatBootSectorsByTheirBpb) {
  const FatBoot mkfs16; // mkfs.fat, 20 MiB: 16-bit total 40960, 40 sectors per FAT
  const struct {
    const char *what;
    FatBoot boot;
    Expect walk;
    Expect scan;
  } cases[] = {
      {"mkfs.fat FAT16", mkfs16, {BootKind::Fat16, 40960}, {BootKind::Fat16, 40960}},
      {"mkfs.fat FAT12", test::mkfsFat12(), {BootKind::Fat12, 2048}, {BootKind::Fat12, 2048}},
      {"mkfs.fat FAT32", test::mkfsFat32(), {BootKind::Fat32, 131072}, {BootKind::Fat32, 131072}},
      {"4 KiB sectors count as eight",
       with(test::mkfsFat32(),
            [](FatBoot &b) {
              b.bytesPerSector = 4096;
              b.totalSectors32 = 1000;
            }),
       {BootKind::Fat32, 8000},
       {BootKind::Fat32, 8000}},
      {"MSDO, broken BPB, FAT size 200, 32-bit total",
       test::legacyFat(200, 0, 50000),
       {BootKind::Fat16, 50000},
       {BootKind::Fat16, 50000}},
      {"MSDO, broken BPB, unsigned 16-bit total",
       test::legacyFat(256, 40960),
       {BootKind::Fat16, 40960},
       {BootKind::Fat16, 40960}},
      {"MSDO, broken BPB, FAT size 128 is known to the scan only",
       test::legacyFat(128, 4096),
       {BootKind::FatUnknown, 0},
       {BootKind::Fat16, 4096}},
      {"MSDO, broken BPB, other FAT size",
       test::legacyFat(40, 4096),
       {BootKind::FatUnknown, 0},
       {BootKind::FatUnknown, 0}},
      {"layout larger than the volume falls back to the FAT size",
       with(mkfs16, [](FatBoot &b) { b.totalSectors16 = 50; }),
       {BootKind::FatUnknown, 0},
       {BootKind::FatUnknown, 0}},
      {"broken BPB without MSDO",
       with(test::legacyFat(200, 4096), [](FatBoot &b) { b.oem = "mkfs.fat"; }),
       {BootKind::None, 0},
       {BootKind::None, 0}},
      {"no signature and no type text",
       with(mkfs16,
            [](FatBoot &b) {
              b.signature = false;
              b.typeText.clear();
            }),
       {BootKind::None, 0},
       {BootKind::None, 0}},
      {"256-byte sectors",
       with(mkfs16, [](FatBoot &b) { b.bytesPerSector = 256; }),
       {BootKind::None, 0},
       {BootKind::None, 0}},
      {"three FATs",
       with(mkfs16, [](FatBoot &b) { b.fatCount = 3; }),
       {BootKind::None, 0},
       {BootKind::None, 0}},
      {"3 sectors per cluster",
       with(mkfs16, [](FatBoot &b) { b.sectorsPerCluster = 3; }),
       {BootKind::None, 0},
       {BootKind::None, 0}},
      {"no reserved sector",
       with(mkfs16, [](FatBoot &b) { b.reservedSectors = 0; }),
       {BootKind::None, 0},
       {BootKind::None, 0}},
      {"jump not 0xEB 0x3C/0x58/0x76",
       with(mkfs16, [](FatBoot &b) { b.jumpTarget = 0x50; }),
       {BootKind::None, 0},
       {BootKind::None, 0}},
  };
  for (const auto &c : cases) {
    const auto sector = fatSector(c.boot);
    const BootSectorInfo walk = classifyBootSector(sector, FatSizeRule::Walk, false);
    const BootSectorInfo scan = classifyBootSector(sector, FatSizeRule::Scan, true);
    EXPECT_EQ(walk.kind, c.walk.kind) << c.what;
    EXPECT_EQ(walk.sectors, c.walk.sectors) << c.what;
    EXPECT_EQ(scan.kind, c.scan.kind) << c.what;
    EXPECT_EQ(scan.sectors, c.scan.sectors) << c.what;
  }
}

TEST(BootSector, NtfsExFatAndHeaderTests) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const struct {
    const char *what;
    std::function<void(DiskBuilder &)> build;
    Expect walk;
    Expect scan;
  } cases[] = {
      {"NTFS",
       [](DiskBuilder &d) { d.ntfs(0, 16383); },
       {BootKind::Ntfs, 16383},
       {BootKind::Ntfs, 16383}},
      {"NTFS without its name: the walk does not ask for it",
       [](DiskBuilder &d) {
         d.ntfs(0, 16383);
         d.sectors(0)[3] = 'X';
       },
       {BootKind::Ntfs, 16383},
       {BootKind::None, 0}},
      {"NTFS with 4 KiB sectors",
       [](DiskBuilder &d) {
         d.ntfs(0, 16383);
         putLe(d.sectors(0), 11, 4096, 2);
       },
       {BootKind::None, 0},
       {BootKind::None, 0}},
      {"NTFS with an absurd total",
       [](DiskBuilder &d) { d.ntfs(0, kMax); },
       {BootKind::Ntfs, kMax},
       {BootKind::Ntfs, kMax}},
      {"exFAT",
       [](DiskBuilder &d) { d.exfat(0, 16384); },
       {BootKind::ExFat, 16384},
       {BootKind::ExFat, 16384}},
      {"exFAT with 4 KiB sectors",
       [](DiskBuilder &d) {
         d.exfat(0, 2048);
         d.sectors(0)[108] = 12;
       },
       {BootKind::ExFat, 16384},
       {BootKind::ExFat, 16384}},
      {"exFAT length that overflows saturates",
       [](DiskBuilder &d) {
         d.exfat(0, kMax / 2);
         d.sectors(0)[108] = 12;
       },
       {BootKind::ExFat, kMax},
       {BootKind::ExFat, kMax}},
  };
  for (const auto &c : cases) {
    DiskBuilder d(1);
    c.build(d);
    const BootSectorInfo walk = classifyBootSector(d.bytes(), FatSizeRule::Walk, false);
    const BootSectorInfo scan = classifyBootSector(d.bytes(), FatSizeRule::Scan, true);
    EXPECT_EQ(walk.kind, c.walk.kind) << c.what;
    EXPECT_EQ(walk.sectors, c.walk.sectors) << c.what;
    EXPECT_EQ(scan.kind, c.scan.kind) << c.what;
    EXPECT_EQ(scan.sectors, c.scan.sectors) << c.what;
  }
  EXPECT_EQ(classifyBootSector(Bytes{}, FatSizeRule::Scan, true).kind, BootKind::None);

  DiskBuilder d(4);
  d.hfsPlus(0, 4096, 256).ext(0);
  const Bytes header = Bytes(d.bytes()).subspan(1024);
  EXPECT_TRUE(isHfsPlusHeader(header));
  EXPECT_EQ(hfsPlusSectors(header), 2048U);
  EXPECT_TRUE(hasExtSuperblock(d.bytes()));
  EXPECT_FALSE(hasExtSuperblock(Bytes(d.bytes()).first(1081)));
  d.sectors(2)[2] = 1; // a version high byte that is not 0
  EXPECT_FALSE(isHfsPlusHeader(header));
}

} // namespace
} // namespace quillon
