// Sparse, stream-optimized and flat VMDK extents.
#include "disk/vmdk_reader.h"

#include "core/byte_order.h"
#include "core/text_format.h"

#include <algorithm>
#include <array>
#include <bit>
#include <zlib.h>

namespace quillon {

namespace {

constexpr std::uint32_t kSparseMagic = 0x564D444B; // "KDMV"
constexpr std::size_t kMagicOffset = 0;
constexpr std::size_t kFlagsOffset = 8;
constexpr std::size_t kCapacityOffset = 12;
constexpr std::size_t kGrainSizeOffset = 20;
constexpr std::size_t kDescriptorOffsetOffset = 28;
constexpr std::size_t kDescriptorSizeOffset = 36;
constexpr std::size_t kNumGTEsPerGTOffset = 44;
constexpr std::size_t kRgdOffsetOffset = 48;
constexpr std::size_t kGdOffsetOffset = 56;
constexpr std::size_t kCompressAlgorithmOffset = 77;

constexpr std::uint32_t kFlagRedundantTable = 1U << 1;
constexpr std::uint32_t kFlagCompressed = 1U << 16;
constexpr std::uint64_t kGdAtEnd = ~0ULL; // stream-optimized: the footer holds the directory
constexpr std::uint16_t kCompressionDeflate = 1;

// Bounds that keep a damaged header from asking for absurd work or memory.
constexpr std::uint64_t kMaxGrainSectors = 1ULL << 16;    // 32 MiB grains
constexpr std::uint32_t kMaxTableEntries = 1U << 16;      // 256 KiB tables
constexpr std::uint64_t kMaxCapacitySectors = 1ULL << 42; // 2 PiB
constexpr std::uint64_t kMaxDescriptorBytes = 1ULL << 20;
constexpr std::uint64_t kMaxCompressedGrainSectors = 2048; // 1 MiB of buffer
constexpr std::size_t kGrainMarkerSize = 12;               // u64 lba, u32 compressed size

} // namespace

std::string FileReadSeekVmdk::kindText() const {
  if (zeroExtent_) {
    return "VMDK zero extent";
  }
  if (!sparse_) {
    return "VMDK flat";
  }
  return compressed_ ? "VMDK stream-optimized sparse" : "VMDK sparse";
}

bool FileReadSeekVmdk::open(const std::filesystem::path &path) {
  const VmdkExtent *given = extents.empty() ? nullptr : &extents.front();
  if (given != nullptr && given->type == "ZERO") {
    zeroExtent_ = true;
    sectors_ = given->sectorCount;
    return true;
  }
  // Delta and device extents hold no disk of their own; reading them as raw data would show
  // garbage as if it were the disk.
  if (given != nullptr && !given->type.empty() && given->type != "SPARSE" &&
      given->type != "FLAT" && given->type != "VMFS") {
    fail("extent type " + given->type + " is not supported");
    return false;
  }
  if (!file_.open(path)) {
    fail(format("cannot open %s: %s", path.c_str(), file_.lastError().c_str()));
    return false;
  }
  imageSize = file_.size();
  std::array<std::uint8_t, 512> header{};
  if (!file_.readAt(0, header)) {
    fail(format("cannot read %s: %s", path.c_str(), file_.lastError().c_str()));
    return false;
  }
  if (le32(header, kMagicOffset) == kSparseMagic) {
    return openSparse(header);
  }
  if (equalsNoCase(extentType, "SPARSE") ||
      (given != nullptr && equalsNoCase(given->type, "SPARSE"))) {
    report("no sparse extent header (KDMV) in " + path.filename().string() +
           "; choose the extent type FLAT for a raw file");
    return false;
  }
  // Flat: identity mapping from the extent's offset inside the file.
  if (given == nullptr) {
    extents.push_back({});
  }
  flatOffsetBytes_ =
      given != nullptr ? std::min(given->flatOffset, imageSize / kSectorSize) * kSectorSize : 0;
  const std::uint64_t fileSectors = (imageSize - flatOffsetBytes_) / kSectorSize;
  sectors_ = (given != nullptr && given->sectorCount != 0) ? given->sectorCount : fileSectors;
  if (extentType.empty()) {
    extentType = "FLAT";
  }
  return true;
}

bool FileReadSeekVmdk::openSparse(std::span<const std::uint8_t> header) {
  sparse_ = true;
  std::array<std::uint8_t, 512> footer{};
  std::span<const std::uint8_t> h = header;
  std::uint64_t gdOffset = le64(h, kGdOffsetOffset);
  if (gdOffset == kGdAtEnd) {
    // Stream-optimized: the valid header is the footer, 1024 bytes before the end (followed by
    // the end-of-stream marker).
    if (imageSize < 1536 || !file_.readAt(imageSize - 1024, footer) ||
        le32(footer, kMagicOffset) != kSparseMagic) {
      report("stream-optimized VMDK without a readable footer");
      return false;
    }
    h = footer;
    gdOffset = le64(h, kGdOffsetOffset);
  }
  const std::uint32_t flags = le32(h, kFlagsOffset);
  capacity_ = le64(h, kCapacityOffset);
  grainSize_ = le64(h, kGrainSizeOffset);
  numGTEsPerGT_ = le32(h, kNumGTEsPerGTOffset);
  const std::uint64_t rgdOffset = le64(h, kRgdOffsetOffset);
  compressed_ = (flags & kFlagCompressed) != 0;
  if (compressed_ && le16(h, kCompressAlgorithmOffset) != kCompressionDeflate) {
    report("VMDK grains use an unknown compression");
    return false;
  }
  if (!std::has_single_bit(grainSize_) || grainSize_ > kMaxGrainSectors || numGTEsPerGT_ == 0 ||
      numGTEsPerGT_ > kMaxTableEntries || std::uint64_t{numGTEsPerGT_} * 4 > imageSize ||
      capacity_ > kMaxCapacitySectors || (compressed_ && grainSize_ > kMaxCompressedGrainSectors)) {
    report(format("damaged VMDK header: capacity %llu, grain size %llu, %u table entries",
                  static_cast<unsigned long long>(capacity_),
                  static_cast<unsigned long long>(grainSize_), numGTEsPerGT_));
    return false;
  }
  gtSpan_ = grainSize_ * numGTEsPerGT_;
  const std::uint64_t gdCount = (capacity_ + gtSpan_ - 1) / gtSpan_;
  // The directory must fit in the file: a header cannot make us allocate more than the image.
  if (gdCount * 4 > imageSize) {
    report("damaged VMDK header: the grain directory would be larger than the file");
    return false;
  }
  const std::uint64_t dirSector =
      ((flags & kFlagRedundantTable) != 0 && rgdOffset != 0) ? rgdOffset : gdOffset;
  grainDirectory_.assign(gdCount, 0);
  std::vector<std::uint8_t> raw(gdCount * 4);
  if (dirSector == 0 || dirSector > imageSize / kSectorSize ||
      !file_.readAt(dirSector * kSectorSize, raw)) {
    report("cannot read the VMDK grain directory");
    return false;
  }
  for (std::uint64_t i = 0; i < gdCount; ++i) {
    grainDirectory_[i] = le32(raw, i * 4);
  }
  sectors_ = capacity_;
  if (compressed_) {
    grainBuffer_.resize(grainSize_ * kSectorSize);
  }

  // The embedded descriptor is informative: the header alone decides the mapping.
  const std::uint64_t descSector = le64(header, kDescriptorOffsetOffset);
  const std::uint64_t descSectors = le64(header, kDescriptorSizeOffset);
  if (descSector != 0 && descSectors != 0 && descSectors <= kMaxDescriptorBytes / kSectorSize &&
      descSector < imageSize / kSectorSize) {
    std::string text(descSectors * kSectorSize, '\0');
    if (file_.readAt(descSector * kSectorSize,
                     {reinterpret_cast<std::uint8_t *>(text.data()), text.size()})) {
      VmdkDescriptor d = parseVmdkDescriptor(text);
      descriptorInfo = d.info;
      if (extents.empty()) {
        extents = std::move(d.extents);
      }
      if (!extents.empty() && !extents.back().type.empty()) {
        extentType = extents.back().type;
      }
    }
  }
  if (extentType.empty()) {
    extentType = "SPARSE";
  }
  return true;
}

const std::vector<std::uint32_t> *FileReadSeekVmdk::grainTable(std::uint64_t gdIndex) {
  if (auto it = tables_.find(gdIndex); it != tables_.end()) {
    if (tableOrder_.front() != gdIndex) {
      tableOrder_.remove(gdIndex);
      tableOrder_.push_front(gdIndex);
    }
    return &it->second;
  }
  std::vector<std::uint8_t> raw(static_cast<std::size_t>(numGTEsPerGT_) * 4);
  const std::uint64_t at = static_cast<std::uint64_t>(grainDirectory_[gdIndex]) * kSectorSize;
  if (!file_.readAt(at, raw)) {
    return nullptr;
  }
  if (tables_.size() >= kCachedTables) {
    tables_.erase(tableOrder_.back());
    tableOrder_.pop_back();
  }
  std::vector<std::uint32_t> table(numGTEsPerGT_);
  for (std::uint32_t i = 0; i < numGTEsPerGT_; ++i) {
    table[i] = le32(raw, static_cast<std::size_t>(i) * 4);
  }
  tableOrder_.push_front(gdIndex);
  return &tables_.emplace(gdIndex, std::move(table)).first->second;
}

const std::uint8_t *FileReadSeekVmdk::compressedGrain(std::uint64_t grainSector) {
  if (cachedGrainSector_ == grainSector) {
    return grainBuffer_.data();
  }
  cachedGrainSector_ = 0;
  std::array<std::uint8_t, kGrainMarkerSize> marker{};
  const std::uint64_t at = grainSector * kSectorSize;
  if (!file_.readAt(at, marker)) {
    return nullptr;
  }
  const std::uint32_t size = le32(marker, 8);
  // Deflate never grows data by more than a few bytes per 16 KiB block; anything far larger
  // than a grain is damage, and the data must lie inside the file.
  const std::uint64_t limit = grainBuffer_.size() + grainBuffer_.size() / 8 + 1024;
  if (size == 0 || size > limit || at + kGrainMarkerSize + size > imageSize) {
    return nullptr;
  }
  compressedBuffer_.resize(size);
  if (!file_.readAt(at + kGrainMarkerSize, compressedBuffer_)) {
    return nullptr;
  }
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) {
    return nullptr;
  }
  zs.next_in = compressedBuffer_.data();
  zs.avail_in = size;
  zs.next_out = grainBuffer_.data();
  zs.avail_out = static_cast<uInt>(grainBuffer_.size());
  const int rc = inflate(&zs, Z_FINISH);
  const std::size_t produced = grainBuffer_.size() - zs.avail_out;
  inflateEnd(&zs);
  if (rc != Z_STREAM_END && rc != Z_OK && rc != Z_BUF_ERROR) {
    return nullptr;
  }
  // The last grain of a disk may decompress to less than a full grain.
  std::fill(grainBuffer_.begin() + static_cast<std::ptrdiff_t>(produced), grainBuffer_.end(), 0);
  cachedGrainSector_ = grainSector;
  return grainBuffer_.data();
}

readWriteInterface::Run FileReadSeekVmdk::mapRun(std::uint64_t abs, std::uint64_t maxLength) {
  Run run;
  run.length = maxLength;
  if (zeroExtent_) {
    return run;
  }
  if (!sparse_) {
    run.kind = Run::Kind::File;
    run.file = &file_;
    run.fileOffset = flatOffsetBytes_ + abs;
    return run;
  }
  const std::uint64_t grainBytes = grainSize_ * kSectorSize;
  const std::uint64_t sector = abs / kSectorSize;
  const std::uint64_t gdIndex = sector / gtSpan_;
  if (gdIndex >= grainDirectory_.size()) {
    return run; // past the capacity
  }
  const std::uint64_t tableEnd = (gdIndex + 1) * gtSpan_ * kSectorSize;
  if (grainDirectory_[gdIndex] == 0) {
    run.length = std::min(maxLength, tableEnd - abs);
    return run;
  }
  const std::vector<std::uint32_t> *table = grainTable(gdIndex);
  if (table == nullptr) {
    run.kind = Run::Kind::Error;
    run.length = std::min(maxLength, tableEnd - abs);
    return run;
  }
  std::uint64_t gtIndex = (sector % gtSpan_) / grainSize_;
  const std::uint64_t inGrain = abs % grainBytes;
  const std::uint32_t entry = (*table)[gtIndex];
  std::uint64_t length = grainBytes - inGrain;
  if (entry <= 1) { // 0: never written, 1: written as zeros
    while (length < maxLength && gtIndex + 1 < numGTEsPerGT_ && (*table)[gtIndex + 1] <= 1) {
      ++gtIndex;
      length += grainBytes;
    }
    run.length = std::min(maxLength, length);
    return run;
  }
  if (compressed_) {
    const std::uint8_t *grain = compressedGrain(entry);
    run.length = std::min(maxLength, length);
    if (grain == nullptr) {
      run.kind = Run::Kind::Error;
      return run;
    }
    run.kind = Run::Kind::Memory;
    run.memory = grain + inGrain;
    return run;
  }
  // Grains that follow each other in the file are read in one go.
  std::uint64_t expect = static_cast<std::uint64_t>(entry) + grainSize_;
  while (length < maxLength && gtIndex + 1 < numGTEsPerGT_ && (*table)[gtIndex + 1] == expect) {
    ++gtIndex;
    expect += grainSize_;
    length += grainBytes;
  }
  run.kind = Run::Kind::File;
  run.file = &file_;
  run.fileOffset = static_cast<std::uint64_t>(entry) * kSectorSize + inGrain;
  run.length = std::min(maxLength, length);
  return run;
}

} // namespace quillon
