// Fixup, attribute walk and run-list decoding for NTFS records.
#include "fs/ntfs/ntfs_record.h"

namespace quillon::ntfs_record {

namespace {

// Attribute header fields.
constexpr std::size_t kTypeOffset = 0;
constexpr std::size_t kLengthOffset = 4;
constexpr std::size_t kNonResidentOffset = 8;
constexpr std::size_t kNameLengthOffset = 9;
constexpr std::size_t kNameOffsetOffset = 10;
constexpr std::size_t kFlagsOffset = 12;
constexpr std::size_t kAttributeIdOffset = 14;
constexpr std::size_t kValueLengthOffset = 16;
constexpr std::size_t kValueOffsetOffset = 20;
constexpr std::size_t kFirstVcnOffset = 16;
constexpr std::size_t kLastVcnOffset = 24;
constexpr std::size_t kRunListOffsetOffset = 32;
constexpr std::size_t kCompressionUnitOffset = 34;
constexpr std::size_t kAllocatedSizeOffset = 40;
constexpr std::size_t kRealSizeOffset = 48;
constexpr std::size_t kInitializedSizeOffset = 56;
constexpr std::size_t kResidentHeaderSize = 24;
constexpr std::size_t kNonResidentHeaderSize = 64;
constexpr std::size_t kMaxAttributes = 256;

} // namespace

bool hasFileSignature(Bytes record) { return hasBytes(record, kSignatureOffset, "FILE"); }

bool applyFixup(std::span<std::uint8_t> record) {
  const std::size_t usa = le16(record, kUsaOffsetOffset);
  const std::size_t count = le16(record, kUsaCountOffset);
  if (count < 2 || usa + count * 2 > record.size() || (count - 1) * 512 > record.size()) {
    return false;
  }
  const std::uint16_t sequence = le16(record, usa);
  bool intact = true;
  for (std::size_t i = 1; i < count; ++i) {
    intact = intact && le16(record, i * 512 - 2) == sequence;
    record[i * 512 - 2] = record[usa + 2 * i];
    record[i * 512 - 1] = record[usa + 2 * i + 1];
  }
  return intact;
}

std::vector<Attribute> attributes(Bytes record) {
  std::vector<Attribute> out;
  std::size_t pos = le16(record, kFirstAttributeOffset);
  while (out.size() < kMaxAttributes && pos + 8 <= record.size()) {
    Attribute a;
    a.type = le32(record, pos + kTypeOffset);
    if (a.type == kEndMarker) {
      break;
    }
    a.length = le32(record, pos + kLengthOffset);
    a.nonResident = u8(record, pos + kNonResidentOffset) != 0;
    const std::size_t header = a.nonResident ? kNonResidentHeaderSize : kResidentHeaderSize;
    if (a.length < kResidentHeaderSize || a.length > record.size() - pos ||
        (a.length < header && a.nonResident)) {
      break;
    }
    a.offset = pos;
    a.flags = le16(record, pos + kFlagsOffset);
    a.attributeId = le16(record, pos + kAttributeIdOffset);
    const std::size_t nameLength = u8(record, pos + kNameLengthOffset);
    const std::size_t nameOffset = le16(record, pos + kNameOffsetOffset);
    if (nameLength != 0 && nameOffset + nameLength * 2 <= a.length) {
      a.nameOffset = pos + nameOffset;
      a.nameLength = nameLength;
    }
    if (a.nonResident) {
      a.firstVcn = le64(record, pos + kFirstVcnOffset);
      a.lastVcn = le64(record, pos + kLastVcnOffset);
      const std::size_t runs = le16(record, pos + kRunListOffsetOffset);
      if (runs < a.length) {
        a.runListOffset = pos + runs;
        a.runListLength = a.length - runs;
      }
      a.compressionUnit = le16(record, pos + kCompressionUnitOffset);
      a.allocatedSize = le64(record, pos + kAllocatedSizeOffset);
      a.realSize = le64(record, pos + kRealSizeOffset);
      a.initializedSize = le64(record, pos + kInitializedSizeOffset);
    } else {
      const std::size_t valueLength = le32(record, pos + kValueLengthOffset);
      const std::size_t valueOffset = le16(record, pos + kValueOffsetOffset);
      if (valueOffset <= a.length && valueLength <= a.length - valueOffset) {
        a.valueOffset = pos + valueOffset;
        a.valueLength = valueLength;
      }
    }
    out.push_back(a);
    pos += a.length;
  }
  return out;
}

std::uint64_t vcnClusters(const Attribute &a) {
  return a.lastVcn >= a.firstVcn && a.lastVcn - a.firstVcn < (1ULL << 62)
             ? a.lastVcn - a.firstVcn + 1
             : 0;
}

std::vector<Run> decodeRunList(Bytes runList, std::uint64_t maxClusters) {
  std::vector<Run> runs;
  std::size_t pos = 0;
  std::int64_t lcn = 0;
  std::uint64_t total = 0;
  while (pos < runList.size()) {
    const std::uint8_t header = runList[pos++];
    const std::size_t lengthSize = header & 0x0F;
    const std::size_t offsetSize = header >> 4;
    if (lengthSize == 0 || lengthSize > 8 || offsetSize > 8 ||
        pos + lengthSize + offsetSize > runList.size()) {
      break;
    }
    std::uint64_t count = 0;
    for (std::size_t i = 0; i < lengthSize; ++i) {
      count |= static_cast<std::uint64_t>(runList[pos + i]) << (8 * i);
    }
    pos += lengthSize;
    Run run;
    run.count = count;
    if (offsetSize == 0) {
      run.sparse = true;
    } else {
      std::uint64_t raw = 0;
      for (std::size_t i = 0; i < offsetSize; ++i) {
        raw |= static_cast<std::uint64_t>(runList[pos + i]) << (8 * i);
      }
      if (offsetSize < 8 && (raw >> (8 * offsetSize - 1)) != 0) {
        raw |= ~0ULL << (8 * offsetSize); // sign-extend
      }
      const auto delta = static_cast<std::int64_t>(raw);
      if ((delta > 0 && lcn > INT64_MAX - delta) || (delta < 0 && lcn < INT64_MIN - delta)) {
        break;
      }
      lcn += delta;
      if (lcn < 0) {
        break;
      }
      run.lcn = lcn;
    }
    pos += offsetSize;
    if (count == 0 || count > maxClusters - total) {
      break;
    }
    total += count;
    runs.push_back(run);
  }
  return runs;
}

} // namespace quillon::ntfs_record
