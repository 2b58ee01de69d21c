// Disk builders for the volume-discovery tests.
#include "support/disk_builder.h"

#include "core/byte_order.h"

#include <algorithm>
#include <stdexcept>

namespace quillon::test {
namespace {

constexpr std::size_t kSector = 512;

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (const std::uint8_t b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) {
      crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
    }
  }
  return ~crc;
}

void putText(std::span<std::uint8_t> b, std::size_t off, std::string_view text) {
  for (std::size_t i = 0; i < text.size() && off + i < b.size(); ++i) {
    b[off + i] = static_cast<std::uint8_t>(text[i]);
  }
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  throw std::invalid_argument("not a GUID");
}

} // namespace

GuidBytes guidFromText(std::string_view text) {
  std::vector<std::uint8_t> raw;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '-') {
      continue;
    }
    raw.push_back(static_cast<std::uint8_t>(hexValue(text[i]) * 16 + hexValue(text[i + 1])));
    ++i;
  }
  if (raw.size() != 16) {
    throw std::invalid_argument("not a GUID");
  }
  GuidBytes g{};
  // The first three groups are stored little-endian, the last two as written.
  const std::array<int, 16> order = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (std::size_t i = 0; i < 16; ++i) {
    g[i] = raw[static_cast<std::size_t>(order[i])];
  }
  return g;
}

FatBoot mkfsFat12() {
  FatBoot b;
  b.reservedSectors = 1;
  b.totalSectors16 = 2048;
  b.sectorsPerFat16 = 2;
  b.typeText = "FAT12   ";
  return b;
}

FatBoot mkfsFat32() {
  FatBoot b;
  b.jumpTarget = 0x58;
  b.sectorsPerCluster = 1;
  b.reservedSectors = 32;
  b.rootEntries = 0;
  b.totalSectors16 = 0;
  b.sectorsPerFat16 = 0;
  b.totalSectors32 = 131072;
  b.typeText = "FAT32   ";
  return b;
}

FatBoot legacyFat(std::uint16_t sectorsPerFat16, std::uint16_t totalSectors16,
                  std::uint32_t totalSectors32) {
  FatBoot b;
  b.oem = "MSDOS5.0";
  b.fatCount = 0;
  b.signature = false;
  b.typeText.clear();
  b.sectorsPerFat16 = sectorsPerFat16;
  b.totalSectors16 = totalSectors16;
  b.totalSectors32 = totalSectors32;
  return b;
}

DiskBuilder::DiskBuilder(std::uint64_t sectors) : bytes_(sectors * kSector) {}

DiskBuilder::DiskBuilder(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {
  bytes_.resize((bytes_.size() + kSector - 1) / kSector * kSector);
}

std::span<std::uint8_t> DiskBuilder::sectors(std::uint64_t first, std::uint64_t count) {
  if (first > sectorCount() || count > sectorCount() - first) {
    throw std::out_of_range("sectors past the built disk");
  }
  return std::span(bytes_).subspan(first * kSector, count * kSector);
}

DiskBuilder &DiskBuilder::tableEntry(std::uint64_t tableSector, int slot, std::uint8_t type,
                                     std::uint32_t firstLba, std::uint32_t sectorCount) {
  const auto s = sectors(tableSector);
  const std::size_t at = 446 + static_cast<std::size_t>(slot) * 16;
  s[at + 4] = type;
  putLe(s, at + 8, firstLba, 4);
  putLe(s, at + 12, sectorCount, 4);
  putLe(s, 510, 0xAA55, 2);
  return *this;
}

DiskBuilder &DiskBuilder::gpt(const std::vector<GptEntry> &entries, GptLayout layout) {
  const std::uint64_t disk = sectorCount();
  tableEntry(0, 0, 0xEE, 1, static_cast<std::uint32_t>(std::min<std::uint64_t>(disk - 1, ~0U)));

  // The entry array, clipped to the disk when the layout says it reaches past it.
  const std::uint64_t arrayBytes = std::uint64_t{layout.entryCount} * layout.entryBytes;
  const std::uint64_t arrayStart = layout.entryLba * kSector;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint64_t at = arrayStart + i * layout.entryBytes;
    if (at + 128 > bytes_.size()) {
      break;
    }
    const auto e = std::span(bytes_).subspan(at, 128);
    std::copy(entries[i].type.begin(), entries[i].type.end(), e.begin());
    putLe(e, 16, 0x1000 + i, 8); // unique GUID
    putLe(e, 32, entries[i].firstLba, 8);
    putLe(e, 40, entries[i].lastLba, 8);
    for (std::size_t k = 0; k < entries[i].name.size() && k < 36; ++k) {
      putLe(e, 56 + 2 * k, entries[i].name[k], 2);
    }
  }

  const auto h = sectors(1);
  putText(h, 0, "EFI PART");
  putLe(h, 8, 0x00010000, 4);
  putLe(h, 12, 92, 4);
  putLe(h, 24, 1, 8);
  putLe(h, 32, disk - 1, 8);
  putLe(h, 40, layout.entryLba + (arrayBytes + kSector - 1) / kSector, 8);
  putLe(h, 48, disk > 34 ? disk - 34 : 0, 8);
  putLe(h, 56, 0x5155494C4C4F4E, 8); // disk GUID
  putLe(h, 72, layout.entryLba, 8);
  putLe(h, 80, layout.entryCount, 4);
  putLe(h, 84, layout.entryBytes, 4);
  if (arrayStart + arrayBytes <= bytes_.size()) {
    putLe(h, 88, crc32(std::span(bytes_).subspan(arrayStart, arrayBytes)), 4);
  }
  putLe(h, 16, crc32(h.first(92)), 4);
  return *this;
}

DiskBuilder &DiskBuilder::ntfs(std::uint64_t sector, std::uint64_t totalSectors) {
  const auto s = sectors(sector);
  putText(s, 0, "\xEB\x52\x90NTFS    ");
  putLe(s, 11, 512, 2);
  s[13] = 8;
  s[21] = 0xF8;
  putLe(s, 40, totalSectors, 8);
  putLe(s, 48, 4, 8); // $MFT cluster
  putLe(s, 510, 0xAA55, 2);
  return *this;
}

DiskBuilder &DiskBuilder::fat(std::uint64_t sector, const FatBoot &b) {
  const auto s = sectors(sector);
  s[0] = 0xEB;
  s[1] = b.jumpTarget;
  s[2] = 0x90;
  putText(s, 3, (b.oem + "        ").substr(0, 8));
  putLe(s, 11, b.bytesPerSector, 2);
  s[13] = b.sectorsPerCluster;
  putLe(s, 14, b.reservedSectors, 2);
  s[16] = b.fatCount;
  putLe(s, 17, b.rootEntries, 2);
  putLe(s, 19, b.totalSectors16, 2);
  s[21] = 0xF8;
  putLe(s, 22, b.sectorsPerFat16, 2);
  putLe(s, 24, 32, 2); // sectors per track
  putLe(s, 26, 4, 2);  // heads
  putLe(s, 32, b.totalSectors32, 4);
  if (b.sectorsPerFat16 != 0) {
    s[36] = 0x80;
    s[38] = 0x29;
    putText(s, 43, "NO NAME    ");
    putText(s, 54, b.typeText);
  } else {
    putLe(s, 36, 1009, 4); // sectors per FAT, 32-bit
    putLe(s, 44, 2, 4);    // root cluster
    putLe(s, 48, 1, 2);    // FSInfo sector
    putLe(s, 50, 6, 2);    // backup boot sector
    s[64] = 0x80;
    s[66] = 0x29;
    putText(s, 71, "NO NAME    ");
    putText(s, 82, b.typeText);
  }
  if (b.signature) {
    putLe(s, 510, 0xAA55, 2);
  }
  return *this;
}

DiskBuilder &DiskBuilder::exfat(std::uint64_t sector, std::uint64_t lengthSectors) {
  const auto s = sectors(sector);
  putText(s, 0,
          "\xEB\x76\x90"
          "EXFAT   ");
  putLe(s, 72, lengthSectors, 8);
  putLe(s, 80, 2048, 4); // FAT offset
  putLe(s, 84, 8, 4);    // FAT length
  s[108] = 9;            // bytes per sector shift
  s[109] = 3;            // sectors per cluster shift
  s[110] = 1;            // FAT count
  putLe(s, 510, 0xAA55, 2);
  return *this;
}

DiskBuilder &DiskBuilder::hfsPlus(std::uint64_t volumeStart, std::uint32_t blockSize,
                                  std::uint32_t totalBlocks) {
  const auto h = sectors(volumeStart + 2);
  putText(h, 0, "H+");
  putBe(h, 2, 4, 2); // version
  putBe(h, 40, blockSize, 4);
  putBe(h, 44, totalBlocks, 4);
  return *this;
}

DiskBuilder &DiskBuilder::ext(std::uint64_t volumeStart) {
  const auto sb = sectors(volumeStart + 2, 2);
  putLe(sb, 4, 8192, 4); // blocks
  putLe(sb, 24, 0, 4);   // 1 KiB blocks
  putLe(sb, 32, 8192, 4);
  putLe(sb, 56, 0xEF53, 2);
  return *this;
}

std::unique_ptr<MemoryReader> DiskBuilder::reader() const {
  return std::make_unique<MemoryReader>(bytes_);
}

readWriteInterface::Run FaultyReader::mapRun(std::uint64_t abs, std::uint64_t maxLength) {
  Run r;
  r.length = std::min(maxLength, kSectorSize - abs % kSectorSize);
  if (bad_.contains(abs / kSectorSize)) {
    r.kind = Run::Kind::Error;
  } else {
    r.kind = Run::Kind::Memory;
    r.memory = disk_.data() + abs;
  }
  return r;
}

} // namespace quillon::test
