// The unnamed $DATA attribute of a record as the save describes it, and the entries of an
// $ATTRIBUTE_LIST value.
#include "fs/ntfs/ntfs_data.h"

namespace quillon {

namespace ntfs_data {

namespace {

// $ATTRIBUTE_LIST entry fields.
constexpr std::size_t kListTypeOffset = 0;
constexpr std::size_t kListLengthOffset = 4;
constexpr std::size_t kListNameLengthOffset = 6;
constexpr std::size_t kListStartVcnOffset = 8;
constexpr std::size_t kListReferenceOffset = 16;
constexpr std::size_t kListAttributeIdOffset = 24;
constexpr std::size_t kListEntryMinimum = 26;

} // namespace

DataAttributeInfo dataAttributeInfo(const ntfs_record::Attribute &a) {
  DataAttributeInfo info;
  info.flags = a.flags;
  if (a.nonResident) {
    info.residency = 'N';
    info.dataOffset = a.runListOffset;
    info.dataLength = a.runListLength;
    info.compressionUnit = a.compressionUnit;
    info.firstVcn = a.firstVcn;
    info.lastVcn = a.lastVcn;
    info.allocatedSize = a.allocatedSize;
    info.realSize = a.realSize;
  } else {
    info.residency = 'R';
    info.dataOffset = a.valueOffset;
    info.dataLength = a.valueLength;
    info.allocatedSize = a.valueLength;
    info.realSize = a.valueLength;
  }
  if (info.compressed()) {
    info.kindText = "Compressed";
  } else if (info.encrypted()) {
    info.kindText = "Encrypted";
  } else if (a.flags == 0) {
    info.kindText = "Normal";
  }
  return info;
}

const ntfs_record::Attribute *unnamedData(std::span<const ntfs_record::Attribute> attributes) {
  for (const auto &a : attributes) {
    if (a.type == ntfs_record::kData && !a.named()) {
      return &a;
    }
  }
  return nullptr;
}

std::vector<ListEntry> attributeListEntries(Bytes list) {
  std::vector<ListEntry> out;
  std::size_t pos = 0;
  while (list.size() - pos >= kListEntryMinimum) {
    const std::size_t length = le16(list, pos + kListLengthOffset);
    if (length < kListEntryMinimum || length > list.size() - pos) {
      break;
    }
    ListEntry e;
    e.type = le32(list, pos + kListTypeOffset);
    if (e.type == ntfs_record::kEndMarker) {
      break;
    }
    e.named = u8(list, pos + kListNameLengthOffset) != 0;
    e.startVcn = le64(list, pos + kListStartVcnOffset);
    e.recordNumber = le64(list, pos + kListReferenceOffset) & ntfs_record::kReferenceMask;
    e.attributeId = le16(list, pos + kListAttributeIdOffset);
    out.push_back(e);
    pos += length;
  }
  return out;
}

std::vector<ListEntry> unnamedDataEntries(Bytes list) {
  auto all = attributeListEntries(list);
  std::erase_if(all, [](const ListEntry &e) { return e.type != ntfs_record::kData || e.named; });
  return all;
}

} // namespace ntfs_data

} // namespace quillon
