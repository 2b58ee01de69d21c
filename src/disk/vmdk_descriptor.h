// The VMDK text descriptor: the key/value header (version, CID, createType, geometry) and the
// extent lines that name the files holding the disk. Used for descriptors embedded in a sparse
// extent and for stand-alone descriptor files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

struct VmdkExtent {
  std::uint64_t sectorCount = 0; // sectors of the disk this extent serves
  std::string type;              // "SPARSE", "FLAT", "ZERO", "VMFS", ... (upper case)
  std::string fileName;          // as written between the quotes
  std::uint64_t flatOffset = 0;  // FLAT/VMFS: first sector of the data inside the file
};

struct VmdkDescriptorInfo {
  std::string version;
  std::string CID;
  std::string parentCID;
  std::string createType;
  std::string cylinders;
  std::string heads;
  std::string sectors;
};

struct VmdkDescriptor {
  VmdkDescriptorInfo info;
  std::vector<VmdkExtent> extents;
};

// Parses descriptor text. Lines are read one by one; unknown lines are ignored. Extent lines
// have the form: ACCESS SECTORS TYPE ["FILENAME" [OFFSET]].
[[nodiscard]] VmdkDescriptor parseVmdkDescriptor(std::string_view text);

// True when text looks like a descriptor (the first line of a descriptor file, or a
// createType key near the start).
[[nodiscard]] bool looksLikeVmdkDescriptor(std::string_view text);

// Case-insensitive ASCII comparison.
[[nodiscard]] bool equalsNoCase(std::string_view a, std::string_view b);

} // namespace quillon
