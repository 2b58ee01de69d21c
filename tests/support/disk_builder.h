// Builders of small disks in memory for the volume-discovery tests: MBR and EBR entries, a GPT
// header with its entries, and the first sectors of NTFS, FAT, exFAT, HFS+ and ext volumes. Also
// a reader whose chosen sectors fail, for the paths that handle read errors.
#pragma once

#include "disk/memory_reader.h"

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::test {

// A GUID in its on-disk byte order (the first three groups little-endian).
using GuidBytes = std::array<std::uint8_t, 16>;
// "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" to on-disk bytes.
[[nodiscard]] GuidBytes guidFromText(std::string_view text);

inline const GuidBytes kBasicDataGuid = guidFromText("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
inline const GuidBytes kMsReservedGuid = guidFromText("E3C9E316-0B5C-4DB8-817D-F92DF00215AE");
inline const GuidBytes kLinuxDataGuid = guidFromText("0FC63DAF-8483-4772-8E79-3D69D8477DE4");
inline const GuidBytes kHfsPlusGuid = guidFromText("48465300-0000-11AA-AA11-00306543ECAC");

struct GptEntry {
  GuidBytes type{};
  std::uint64_t firstLba = 0;
  std::uint64_t lastLba = 0;
  std::u16string name;
};

struct GptLayout {
  std::uint64_t entryLba = 2;
  std::uint32_t entryCount = 128;
  std::uint32_t entryBytes = 128;
};

// The BPB fields of a FAT boot sector. The defaults are what mkfs.fat writes for a 20 MiB FAT16.
struct FatBoot {
  std::string oem = "mkfs.fat";
  std::uint8_t jumpTarget = 0x3C;
  std::uint16_t bytesPerSector = 512;
  std::uint8_t sectorsPerCluster = 4;
  std::uint16_t reservedSectors = 4;
  std::uint8_t fatCount = 2;
  std::uint16_t rootEntries = 512;
  std::uint16_t totalSectors16 = 40960;
  std::uint16_t sectorsPerFat16 = 40;
  std::uint32_t totalSectors32 = 0;
  std::string typeText = "FAT16   "; // at 54, or at 82 when sectorsPerFat16 is 0
  bool signature = true;             // 0x55AA at 510
};

// What mkfs.fat writes for a 1 MiB FAT12 and a 64 MiB FAT32 volume.
[[nodiscard]] FatBoot mkfsFat12();
[[nodiscard]] FatBoot mkfsFat32();
// A boot sector of the "MSDOS5.0" kind whose BPB does not hold together, so that only its
// sectors-per-FAT value can type it.
[[nodiscard]] FatBoot legacyFat(std::uint16_t sectorsPerFat16, std::uint16_t totalSectors16,
                                std::uint32_t totalSectors32 = 0);

class DiskBuilder {
public:
  explicit DiskBuilder(std::uint64_t sectors);
  explicit DiskBuilder(std::vector<std::uint8_t> bytes);

  [[nodiscard]] std::span<std::uint8_t> sectors(std::uint64_t first, std::uint64_t count = 1);
  [[nodiscard]] const std::vector<std::uint8_t> &bytes() const { return bytes_; }
  [[nodiscard]] std::uint64_t sectorCount() const { return bytes_.size() / 512; }

  // One 16-byte entry of the table in the boot record at tableSector (the MBR is sector 0);
  // also writes the record's 0x55AA signature.
  DiskBuilder &tableEntry(std::uint64_t tableSector, int slot, std::uint8_t type,
                          std::uint32_t firstLba, std::uint32_t sectorCount);
  // The protective MBR of a GPT disk (one 0xEE entry from sector 1) and the primary header with
  // its entry array.
  DiskBuilder &gpt(const std::vector<GptEntry> &entries, GptLayout layout = {});

  DiskBuilder &ntfs(std::uint64_t sector, std::uint64_t totalSectors);
  DiskBuilder &fat(std::uint64_t sector, const FatBoot &boot);
  DiskBuilder &exfat(std::uint64_t sector, std::uint64_t lengthSectors);
  // The header goes 1024 bytes into the volume (its sector 2).
  DiskBuilder &hfsPlus(std::uint64_t volumeStart, std::uint32_t blockSize,
                       std::uint32_t totalBlocks);
  DiskBuilder &ext(std::uint64_t volumeStart);

  [[nodiscard]] std::unique_ptr<MemoryReader> reader() const;

private:
  std::vector<std::uint8_t> bytes_;
};

// A disk in memory whose listed sectors fail to read (their bytes read as zeros).
class FaultyReader final : public readWriteInterface {
public:
  FaultyReader(std::vector<std::uint8_t> disk, std::set<std::uint64_t> badSectors)
      : disk_(std::move(disk)), bad_(std::move(badSectors)) {}

  bool open(const std::filesystem::path &) override { return true; }
  [[nodiscard]] std::uint64_t sectorCount() const override { return disk_.size() / kSectorSize; }
  [[nodiscard]] std::string kindText() const override { return "faulty memory"; }

protected:
  Run mapRun(std::uint64_t abs, std::uint64_t maxLength) override;

private:
  std::vector<std::uint8_t> disk_;
  std::set<std::uint64_t> bad_;
};

} // namespace quillon::test
