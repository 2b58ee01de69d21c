// HfsBuilder: small HFS+ volumes in memory for the HFS+ tests, laid out as the published format
// describes: the volume header (and its copy at the end), an allocation bitmap, and the
// extents-overflow, catalog and attributes B-trees, each with its header node, leaf nodes linked
// in a chain and an index node above them when there is more than one leaf. Files may be cut
// into many extents (those past eight go into overflow records), the catalog file itself may be
// cut into pieces with foreign blocks between them, and files may be stored compressed or as
// hard links. Records of "deleted" files go into a leaf node that is off the leaf chain and free
// in the tree's map, as a freed node keeps them.
#pragma once

#include "fs/hfsplus/hfsplus.h"
#include "volumes/volume_record.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillon::test {

// Unix seconds as an HFS+ date (seconds since 1904-01-01 UTC).
[[nodiscard]] constexpr std::uint32_t hfsDate(std::int64_t unixSeconds) {
  return static_cast<std::uint32_t>(unixSeconds + hfs::kEpochDelta);
}

struct HfsBuildOptions {
  std::uint32_t blockSize = 4096;
  std::uint32_t catalogNodeSize = 4096;
  std::uint32_t extentsNodeSize = 4096;
  std::uint32_t attributesNodeSize = 4096;
  std::uint32_t minTotalBlocks = 64;
  // Extents the catalog file is cut into, with a foreign block after each (past eight, the
  // rest are in the extents overflow under file ID 4).
  std::uint32_t catalogFragments = 1;
  // Records in one catalog leaf node at most (0: as many as fit).
  std::size_t recordsPerLeaf = 0;
  // Free nodes at the end of the catalog file.
  std::uint32_t spareCatalogNodes = 2;
  // Zero blocks at the end of the volume, for tests that plant copies of nodes there.
  std::uint32_t spareBlocks = 0;
};

struct HfsFileLayout {
  std::vector<std::uint8_t> data;
  std::uint32_t fragments = 1; // extents the data fork is cut into, a foreign block between each
  std::uint32_t createDate = hfsDate(1600000000);
  std::uint32_t contentModDate = hfsDate(1700000000);
  std::uint32_t attributeModDate = hfsDate(1700000100);
  std::uint32_t accessDate = hfsDate(1700000200);
  std::uint16_t fileMode = 0100644;
  std::optional<std::uint64_t> logicalSize; // stored instead of the data's size
};

// A file layout with the given data and the default times and mode.
[[nodiscard]] inline HfsFileLayout fileWith(std::vector<std::uint8_t> data) {
  HfsFileLayout file;
  file.data = std::move(data);
  return file;
}

class HfsBuilder {
public:
  explicit HfsBuilder(HfsBuildOptions options = {});

  // Each returns the record's CNID (the one given, or the next free one).
  std::uint32_t addFolder(std::uint32_t parent, const std::string &name, std::uint32_t cnid = 0);
  std::uint32_t addFile(std::uint32_t parent, const std::string &name, HfsFileLayout file,
                        std::uint32_t cnid = 0);
  std::uint32_t addFile(std::uint32_t parent, const std::string &name,
                        std::vector<std::uint8_t> data) {
    return addFile(parent, name, fileWith(std::move(data)));
  }
  // A file record found only in a freed leaf node (its data blocks are still stored).
  std::uint32_t addDeletedFile(std::uint32_t parent, const std::string &name, HfsFileLayout file);
  // A file hard link to the inode file "iNode<inode>" (which the test adds itself).
  std::uint32_t addHardLink(std::uint32_t parent, const std::string &name, std::uint32_t inode);
  // A compressed file: method 3 keeps the zlib data in the attribute, method 4 keeps 64 KiB zlib
  // chunks in the resource fork (a chunk that does not shrink is stored plainly after 0xFF).
  // Other methods store the header only.
  std::uint32_t addCompressedFile(std::uint32_t parent, const std::string &name,
                                  std::vector<std::uint8_t> data, std::uint32_t method);

  // The volume.
  [[nodiscard]] std::vector<std::uint8_t> build();
  // A volume record for the built volume (its size rounded up to whole MiB).
  [[nodiscard]] VolumeRecord record() const;

  // Where the last build put things.
  struct Layout {
    std::uint32_t totalBlocks = 0;
    std::vector<std::uint64_t> catalogNodes;  // volume offset of each catalog node
    std::vector<std::uint32_t> catalogLeaves; // node numbers of the live leaves, in chain order
    std::uint32_t staleLeaf = 0;              // node number of the freed leaf (0: none)
    std::vector<std::uint64_t> extentsNodes;
    std::map<std::uint32_t, std::vector<HfsExtent>> dataExtents; // by CNID
    std::vector<HfsExtent> catalogExtents;
    std::uint64_t spareOffset = 0; // first of the spare zero blocks
  } layout;

  [[nodiscard]] const HfsBuildOptions &options() const { return options_; }

private:
  struct Item {
    bool folder = false;
    std::uint32_t parent = 0;
    std::uint32_t cnid = 0;
    std::u16string name;
    HfsFileLayout file;
    bool deleted = false;
    bool hardLink = false;
    std::uint32_t inode = 0;
    std::uint32_t compression = 0;           // method, 0 when stored plainly
    std::vector<std::uint8_t> attribute;     // com.apple.decmpfs
    std::vector<std::uint8_t> resourceBytes; // resource fork
  };

  std::uint32_t take(std::uint32_t cnid);

  HfsBuildOptions options_;
  std::vector<Item> items_;
  std::uint32_t nextId_ = 16;
};

} // namespace quillon::test
