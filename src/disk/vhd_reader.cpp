// Fixed and dynamic VHD images.
#include "disk/vhd_reader.h"

#include "core/byte_order.h"
#include "core/text_format.h"

#include <algorithm>
#include <array>
#include <bit>

namespace quillon {

namespace {

// Footer (big-endian, 512 bytes; at the end of every VHD, copied to byte 0 of a dynamic one).
constexpr std::string_view kFooterCookie = "conectix";
constexpr std::size_t kFooterSize = 512;
constexpr std::size_t kFooterDataOffset = 16;
constexpr std::size_t kFooterCurrentSize = 48;
constexpr std::size_t kFooterDiskType = 60;
constexpr std::size_t kFooterChecksum = 64;

constexpr std::uint32_t kDiskTypeFixed = 2;
constexpr std::uint32_t kDiskTypeDynamic = 3;
constexpr std::uint32_t kDiskTypeDifferencing = 4;

// Dynamic header (big-endian, 1024 bytes).
constexpr std::string_view kHeaderCookie = "cxsparse";
constexpr std::size_t kHeaderSize = 1024;
constexpr std::size_t kHeaderTableOffset = 16;
constexpr std::size_t kHeaderMaxTableEntries = 28;
constexpr std::size_t kHeaderBlockSize = 32;

// The block table is read in pieces of this many bytes, so a large table costs no second copy.
constexpr std::uint64_t kTableChunkBytes = 1ULL << 20;

using Footer = std::array<std::uint8_t, kFooterSize>;

// One place where a footer may be: its bytes, whether the cookie is there and whether the
// checksum (one's complement of the byte sum, checksum field left out) agrees.
struct FooterCandidate {
  Footer bytes{};
  std::uint64_t offset = 0;
  bool present = false;
  bool checksumOk = false;
};

FooterCandidate readFooter(const ImageFile &file, std::uint64_t offset, std::size_t length) {
  FooterCandidate c;
  c.offset = offset;
  if (!file.readAt(offset, std::span(c.bytes).first(length))) {
    return c;
  }
  c.present = hasBytes(c.bytes, 0, kFooterCookie);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kFooterSize; ++i) {
    if (i < kFooterChecksum || i >= kFooterChecksum + 4) {
      sum += c.bytes[i];
    }
  }
  c.checksumOk = c.present && ~sum == be32(c.bytes, kFooterChecksum);
  return c;
}

} // namespace

std::string FileReadSeekVHD::kindText() const { return fixed_ ? "VHD fixed" : "VHD dynamic"; }

void FileReadSeekVHD::reset() {
  fixed_ = false;
  diskSize_ = 0;
  fixedDataEnd_ = 0;
  blockSize_ = 0;
  bitmapBytes_ = 0;
  blockTable_.clear();
}

bool FileReadSeekVHD::open(const std::filesystem::path &path) {
  reset();
  lastError_.clear();
  if (openImage(path)) {
    return true;
  }
  // A refused image serves an empty disk.
  reset();
  return false;
}

bool FileReadSeekVHD::openImage(const std::filesystem::path &path) {
  if (!file_.open(path)) {
    report("invalid handle ...");
    return false;
  }
  imageSize = file_.size();
  const std::uint64_t size = imageSize;

  // The footer at the end is the authority; a dynamic image also keeps a copy at byte 0, which
  // survives when the end of the file is lost. Images of early tools end in a 511-byte footer.
  FooterCandidate head = readFooter(file_, 0, kFooterSize);
  FooterCandidate tail;
  if (size >= kFooterSize) {
    tail = readFooter(file_, size - kFooterSize, kFooterSize);
  }
  if (!tail.present && size >= kFooterSize - 1) {
    tail = readFooter(file_, size - (kFooterSize - 1), kFooterSize - 1);
  }
  if (size < kFooterSize) {
    head.present = false;
  }

  const FooterCandidate *chosen = nullptr;
  if (tail.present && be32(tail.bytes, kFooterDiskType) == kDiskTypeFixed) {
    // A fixed disk's data may begin with anything, even bytes that look like a footer.
    chosen = &tail;
  } else if (head.checksumOk) {
    chosen = &head;
  } else if (tail.checksumOk) {
    chosen = &tail;
  } else if (head.present) {
    chosen = &head;
  } else if (tail.present) {
    chosen = &tail;
  }
  if (chosen == nullptr) {
    report("not a vhd file");
    return false;
  }

  const std::uint32_t type = be32(chosen->bytes, kFooterDiskType);
  diskSize_ = be64(chosen->bytes, kFooterCurrentSize);
  if (type == kDiskTypeDifferencing) {
    report("differencing VHD images are not supported: the image holds only the changes to "
           "its parent disk; open the parent image instead");
    return false;
  }
  if (type != kDiskTypeFixed && type != kDiskTypeDynamic) {
    report(format("unsupported VHD disk type %u", type));
    return false;
  }
  if (diskSize_ < kSectorSize) {
    report(format("damaged VHD footer: the disk size is %llu bytes",
                  static_cast<unsigned long long>(diskSize_)));
    return false;
  }
  if (type == kDiskTypeDynamic) {
    return openDynamic(chosen->bytes);
  }
  fixed_ = true;
  // Data runs from byte 0 up to the footer; whatever the size claims beyond reads as zeros.
  fixedDataEnd_ = chosen == &tail ? tail.offset : size;
  return true;
}

bool FileReadSeekVHD::openDynamic(std::span<const std::uint8_t> footer) {
  const std::uint64_t size = imageSize;
  const std::uint64_t headerOffset = be64(footer, kFooterDataOffset);
  std::array<std::uint8_t, kHeaderSize> header{};
  if (size < kHeaderSize || headerOffset > size - kHeaderSize ||
      !file_.readAt(headerOffset, header) || !hasBytes(header, 0, kHeaderCookie)) {
    report("damaged VHD: no dynamic disk header (cxsparse) where the footer points");
    return false;
  }
  const std::uint64_t tableOffset = be64(header, kHeaderTableOffset);
  const std::uint32_t entries = be32(header, kHeaderMaxTableEntries);
  blockSize_ = be32(header, kHeaderBlockSize);
  if (!std::has_single_bit(blockSize_) || blockSize_ < kSectorSize) {
    report(format("damaged VHD header: block size %u is not a power of two of at least 512",
                  blockSize_));
    return false;
  }
  const std::uint64_t needed = diskSize_ / blockSize_ + (diskSize_ % blockSize_ != 0 ? 1 : 0);
  if (entries > needed) {
    report(format("damaged VHD header: %u block table entries, but a disk of %llu bytes needs "
                  "only %llu",
                  entries, static_cast<unsigned long long>(diskSize_),
                  static_cast<unsigned long long>(needed)));
    return false;
  }
  const std::uint64_t tableBytes = std::uint64_t{entries} * 4;
  if (tableOffset > size || tableBytes > size - tableOffset) {
    report("damaged VHD header: the block table lies beyond the end of the file");
    return false;
  }

  blockTable_.resize(entries);
  std::vector<std::uint8_t> chunk;
  for (std::uint64_t done = 0; done < tableBytes;) {
    const std::uint64_t n = std::min(kTableChunkBytes, tableBytes - done);
    chunk.resize(n);
    if (!file_.readAt(tableOffset + done, chunk)) {
      report("cannot read the VHD block table: " + file_.lastError());
      return false;
    }
    for (std::uint64_t i = 0; i < n; i += 4) {
      blockTable_[(done + i) / 4] = be32(chunk, i);
    }
    done += n;
  }

  // One bit per sector, padded to whole sectors.
  const std::uint64_t bitmapBits = blockSize_ / kSectorSize;
  bitmapBytes_ = ((bitmapBits + 7) / 8 + kSectorSize - 1) / kSectorSize * kSectorSize;
  return true;
}

readWriteInterface::Run FileReadSeekVHD::mapRun(std::uint64_t abs, std::uint64_t maxLength) {
  Run run;
  if (fixed_) {
    if (abs >= fixedDataEnd_) {
      run.length = maxLength;
      return run;
    }
    run.kind = Run::Kind::File;
    run.file = &file_;
    run.fileOffset = abs;
    run.length = std::min(maxLength, fixedDataEnd_ - abs);
    return run;
  }

  return mapBlockRun(abs, maxLength, blockSize_, blockTable_.size(), file_,
                     [this](std::uint64_t b) -> std::optional<std::uint64_t> {
                       if (b >= blockTable_.size() || blockTable_[b] == kUnallocated) {
                         return std::nullopt;
                       }
                       const std::uint64_t start =
                           std::uint64_t{blockTable_[b]} * kSectorSize + bitmapBytes_;
                       // An entry past the end of the file costs only its block.
                       return start < imageSize ? std::optional(start) : std::nullopt;
                     });
}

} // namespace quillon
