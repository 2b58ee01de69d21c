// Low-level pieces of an NTFS MFT record shared by every NTFS operation: the update-sequence
// fixup, a bounded walk over the attributes of a record, the fields of an attribute header, and
// the decoding of a non-resident attribute's run list. Everything here works on bytes already
// read and never reads outside them.
#pragma once

#include "core/byte_order.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillon::ntfs_record {

inline constexpr std::size_t kRecordSize = 1024;

// Record header fields.
inline constexpr std::size_t kSignatureOffset = 0;
inline constexpr std::size_t kUsaOffsetOffset = 4;
inline constexpr std::size_t kUsaCountOffset = 6;
inline constexpr std::size_t kFirstAttributeOffset = 20;
inline constexpr std::size_t kRecordFlagsOffset = 22;
inline constexpr std::size_t kBaseRecordOffset = 32;   // file reference of the base record
inline constexpr std::size_t kRecordNumberOffset = 44; // 32-bit, NTFS 3.1 records

// The record-number part of a file reference (the top 16 bits are a sequence number).
inline constexpr std::uint64_t kReferenceMask = 0x0000FFFFFFFFFFFFULL;

inline constexpr std::uint16_t kRecordInUse = 0x0001;
inline constexpr std::uint16_t kRecordIsDirectory = 0x0002;

// Attribute types.
inline constexpr std::uint32_t kStandardInformation = 0x10;
inline constexpr std::uint32_t kAttributeList = 0x20;
inline constexpr std::uint32_t kFileName = 0x30;
inline constexpr std::uint32_t kData = 0x80;
inline constexpr std::uint32_t kEndMarker = 0xFFFFFFFF;

// Attribute flags.
inline constexpr std::uint16_t kAttrCompressed = 0x0001;
inline constexpr std::uint16_t kAttrEncrypted = 0x4000;
inline constexpr std::uint16_t kAttrSparse = 0x8000;

[[nodiscard]] bool hasFileSignature(Bytes record);

// Undoes the update-sequence substitution in place: the last two bytes of every 512-byte
// sector covered by the record are restored from the update-sequence array. Returns false when
// the array does not fit the record (nothing is changed) or when a sector's last word did not
// match the sequence number (a torn write: the record is still restored as far as it can be,
// because a recovery tool wants what is left of it).
bool applyFixup(std::span<std::uint8_t> record);

// One attribute of a record, every field already bounded by the record: an Attribute never
// describes bytes outside the record it came from.
struct Attribute {
  std::uint32_t type = 0;
  std::size_t offset = 0; // from the record start
  std::size_t length = 0; // whole attribute, inside the record
  bool nonResident = false;
  std::uint16_t flags = 0;
  std::uint16_t attributeId = 0;
  // Name of the attribute (e.g. a named data stream): UTF-16LE bytes inside the record.
  std::size_t nameOffset = 0; // from the record start; 0 length when unnamed
  std::size_t nameLength = 0; // in UTF-16 units

  // Resident: the value, inside the record (empty when the fields do not fit).
  std::size_t valueOffset = 0; // from the record start
  std::size_t valueLength = 0;

  // Non-resident.
  std::uint64_t firstVcn = 0;
  std::uint64_t lastVcn = 0;
  std::size_t runListOffset = 0;     // from the record start
  std::size_t runListLength = 0;     // bytes up to the attribute end
  std::uint16_t compressionUnit = 0; // log2 of clusters per unit
  std::uint64_t allocatedSize = 0;
  std::uint64_t realSize = 0;
  std::uint64_t initializedSize = 0;

  [[nodiscard]] bool named() const { return nameLength != 0; }
};

// Walks the attributes from the header's first-attribute offset until the end marker, an
// attribute of length 0 or one that would run past the record. At most 256 attributes.
[[nodiscard]] std::vector<Attribute> attributes(Bytes record);

// One run of a run list: count clusters starting at lcn; sparse runs have no clusters on disk.
struct Run {
  std::int64_t lcn = 0;
  std::uint64_t count = 0;
  bool sparse = false;
};

// Decodes a run list. Runs stop at the 0 header byte, at the end of the bytes, at a field that
// runs past them, or when the clusters would exceed maxClusters (runs that do not fit are
// dropped; a run list cannot claim more clusters than its attribute's VCN range). A run whose
// LCN would be negative ends the list.
[[nodiscard]] std::vector<Run> decodeRunList(Bytes runList, std::uint64_t maxClusters);

// The VCN range of a non-resident attribute in clusters (last - first + 1), 0 when it is
// inverted.
[[nodiscard]] std::uint64_t vcnClusters(const Attribute &a);

} // namespace quillon::ntfs_record
