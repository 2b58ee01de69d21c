// Dynamic and fixed VDI images.
#include "disk/vdi_reader.h"

#include "core/byte_order.h"
#include "core/text_format.h"

#include <algorithm>
#include <array>
#include <bit>

namespace quillon {

namespace {

// Header fields (little-endian, from byte 0 of the file).
constexpr std::size_t kHeaderBytes = 512;
constexpr std::size_t kSignatureOffset = 64;
constexpr std::size_t kVersionOffset = 68;
constexpr std::size_t kHeaderSizeOffset = 72;
constexpr std::size_t kImageTypeOffset = 76;
constexpr std::size_t kBlockMapOffset = 340;
constexpr std::size_t kDataOffset = 344;
constexpr std::size_t kDiskSizeOffset = 368;
constexpr std::size_t kBlockSizeOffset = 376;
constexpr std::size_t kBlockExtraOffset = 380;
constexpr std::size_t kBlockCountOffset = 384;
constexpr std::size_t kAllocatedOffset = 388;

constexpr std::uint32_t kSignature = 0xBEDA107F;
constexpr std::uint32_t kMajorVersion = 1;
constexpr std::uint32_t kTypeDynamic = 1;
constexpr std::uint32_t kTypeFixed = 2;
constexpr std::uint32_t kTypeUndo = 3;
constexpr std::uint32_t kTypeDifferencing = 4;

// The block map is read in pieces of this many bytes, so a large map costs no second copy.
constexpr std::uint64_t kMapChunkBytes = 1ULL << 20;

} // namespace

std::string FileReadSeekVdi::kindText() const { return fixed_ ? "VDI fixed" : "VDI dynamic"; }

void FileReadSeekVdi::reset() {
  fixed_ = false;
  diskSize_ = 0;
  blockSize_ = 0;
  extraBytes_ = 0;
  dataOffset_ = 0;
  blockMap_.clear();
}

bool FileReadSeekVdi::open(const std::filesystem::path &path) {
  reset();
  lastError_.clear();
  if (openImage(path)) {
    return true;
  }
  // A refused image serves an empty disk.
  reset();
  return false;
}

bool FileReadSeekVdi::openImage(const std::filesystem::path &path) {
  if (!file_.open(path)) {
    report("invalid handle ...");
    return false;
  }
  imageSize = file_.size();
  const std::uint64_t size = imageSize;

  std::array<std::uint8_t, kHeaderBytes> header{};
  if (!file_.readAt(0, header)) {
    report("cannot read the VDI header: " + file_.lastError());
    return false;
  }
  if (size < kAllocatedOffset + 4 || le32(header, kSignatureOffset) != kSignature) {
    report("not a vdi file");
    return false;
  }
  const std::uint32_t version = le32(header, kVersionOffset);
  if (version >> 16 != kMajorVersion) {
    // Other versions place the fields elsewhere.
    report(format("unsupported VDI version %u.%u", version >> 16, version & 0xFFFF));
    return false;
  }

  const std::uint32_t headerSize = le32(header, kHeaderSizeOffset);
  const std::uint32_t type = le32(header, kImageTypeOffset);
  const std::uint64_t mapOffset = le32(header, kBlockMapOffset);
  dataOffset_ = le32(header, kDataOffset);
  diskSize_ = le64(header, kDiskSizeOffset);
  blockSize_ = le32(header, kBlockSizeOffset);
  extraBytes_ = le32(header, kBlockExtraOffset);
  const std::uint32_t blocks = le32(header, kBlockCountOffset);
  const std::uint32_t allocated = le32(header, kAllocatedOffset);

  if (headerSize == 0 || diskSize_ < kSectorSize) {
    report(format("damaged VDI header: header size %u, disk size %llu bytes", headerSize,
                  static_cast<unsigned long long>(diskSize_)));
    return false;
  }
  if (!std::has_single_bit(blockSize_) || blockSize_ < kSectorSize) {
    report(format("damaged VDI header: block size %u is not a power of two of at least 512",
                  blockSize_));
    return false;
  }
  if (type == kTypeUndo || type == kTypeDifferencing) {
    report("differencing VDI images are not supported: the image holds only the changes to "
           "its parent disk; open the parent image instead");
    return false;
  }
  if (type != kTypeDynamic && type != kTypeFixed) {
    report(format("unsupported VDI image type %u", type));
    return false;
  }
  fixed_ = type == kTypeFixed;
  const std::uint64_t needed = diskSize_ / blockSize_ + (diskSize_ % blockSize_ != 0 ? 1 : 0);
  if (blocks > needed) {
    report(format("damaged VDI header: %u blocks, but a disk of %llu bytes needs only %llu", blocks,
                  static_cast<unsigned long long>(diskSize_),
                  static_cast<unsigned long long>(needed)));
    return false;
  }
  const std::uint64_t mapBytes = std::uint64_t{blocks} * 4;
  if (mapOffset > size || mapBytes > size - mapOffset) {
    report("damaged VDI header: the block map lies beyond the end of the file");
    return false;
  }
  if (!fixed_ && allocated == 0) {
    report("the VDI image is empty: no block of the dynamic disk has been written");
    return false;
  }

  blockMap_.resize(blocks);
  std::vector<std::uint8_t> chunk;
  for (std::uint64_t done = 0; done < mapBytes;) {
    const std::uint64_t n = std::min(kMapChunkBytes, mapBytes - done);
    chunk.resize(n);
    if (!file_.readAt(mapOffset + done, chunk)) {
      report("cannot read the VDI block map: " + file_.lastError());
      return false;
    }
    for (std::uint64_t i = 0; i < n; i += 4) {
      blockMap_[(done + i) / 4] = le32(chunk, i);
    }
    done += n;
  }
  return true;
}

std::optional<std::uint64_t> FileReadSeekVdi::blockStart(std::uint64_t b) const {
  if (b >= blockMap_.size() || blockMap_[b] >= kBlockZero || dataOffset_ >= imageSize) {
    return std::nullopt;
  }
  const std::uint64_t entry = blockMap_[b];
  const std::uint64_t stride = std::uint64_t{blockSize_} + extraBytes_;
  // Bounding entry first keeps entry × stride far from overflow.
  if (entry > (imageSize - dataOffset_) / stride + 1) {
    return std::nullopt;
  }
  const std::uint64_t start = dataOffset_ + entry * stride + extraBytes_;
  if (start >= imageSize) {
    return std::nullopt;
  }
  return start;
}

readWriteInterface::Run FileReadSeekVdi::mapRun(std::uint64_t abs, std::uint64_t maxLength) {
  return mapBlockRun(abs, maxLength, blockSize_, blockMap_.size(), file_,
                     [this](std::uint64_t b) { return blockStart(b); });
}

} // namespace quillon
