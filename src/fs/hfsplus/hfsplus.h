// HFSP: the parser of one HFS+ volume. The standard mode reads the catalog B-tree node by node in
// file order, through every extent of the catalog file (its overflow extents included); the
// deep mode scans the whole volume for blocks that look like catalog leaf nodes, which also finds
// records of deleted items and copies of nodes outside the catalog file. Either way the file and
// folder records become a map by catalog node ID (CNID), linked into first-child / next-sibling
// chains. Records of nodes on the catalog's own leaf chain win over copies found elsewhere, and
// records found only outside that chain are shown as deleted. A file's data is read through its
// data fork's extents and the extents-overflow B-tree; hard links are followed to their inode
// file, and compressed files (zlib, inline or in the resource fork) are decompressed.
//
// Files: hfs_layout.h (on-disk offsets), hfs_volume.cpp (volume header, fork mapping and
// reading), hfs_btree.cpp (B-tree node lists, leaf chains, extents overflow, attributes),
// hfs_scan.cpp (the deep mode's volume scan), hfs_catalog.cpp (catalog records, linking, tree,
// scan steps), hfs_data.cpp (texts, hard links, saving), hfs_compressed.cpp (compressed files).
#pragma once

#include "core/byte_order.h"
#include "core/item_tree.h"
#include "volumes/volume_record.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace quillon {

class OutputFile;
class Progress;
class WorkerControl;
class readWriteInterface;
struct FileTime;

// Texts of the scan.
inline constexpr char kHfsOrphanName[] = "ORPHAN_ENTRY";
inline constexpr char kHfsScanDoneText[] = "Scanning process Done.";
inline constexpr char kHfsScanAbortedText[] = "Scanning process Aborted....";
inline constexpr char kHfsBlockSizeInvalidText[] = "BlockSize not valid .Aborting..";

// CNIDs the format fixes.
inline constexpr std::uint32_t kHfsRootParentId = 1;
inline constexpr std::uint32_t kHfsRootFolderId = 2;
inline constexpr std::uint32_t kHfsExtentsFileId = 3;
inline constexpr std::uint32_t kHfsCatalogFileId = 4;
inline constexpr std::uint32_t kHfsAttributesFileId = 8;

// Fork types of the extents-overflow keys.
inline constexpr std::uint8_t kHfsDataFork = 0x00;
inline constexpr std::uint8_t kHfsResourceFork = 0xFF;

struct HfsExtent {
  std::uint32_t startBlock = 0;
  std::uint32_t blockCount = 0;
  friend bool operator==(const HfsExtent &, const HfsExtent &) = default;
};

// A fork as a catalog record or the volume header gives it: its size, its block count and the
// extents stored with it (up to the first empty one).
struct HfsFork {
  std::uint64_t logicalSize = 0;
  std::uint32_t totalBlocks = 0;
  std::vector<HfsExtent> extents;
};

// A stretch of a fork's bytes and where it lies on the volume (zeros when it lies nowhere: an
// extent starting at block 0 or past the end of the disk).
struct HfsRun {
  std::uint64_t forkOffset = 0;
  std::uint64_t volumeOffset = 0;
  std::uint64_t length = 0;
  bool zeros = false;
};

// One B-tree node kept by a node list.
struct BTreeNodeInfo {
  std::uint64_t nodeNumber = 0; // position in its B-tree file (scanned nodes: volume offset / size)
  std::uint64_t offset = 0;     // byte offset of the node on the volume
  std::int8_t kind = 0;         // -1 leaf, 0 index, 1 header, 2 map
  std::uint8_t height = 0;
  std::uint16_t numRecords = 0;
  std::uint32_t forwardLink = 0;
  std::vector<std::uint16_t> recordOffsets;
  bool live = true;     // on the tree's leaf chain (or the chain could not be followed)
  bool scanned = false; // found by the volume scan: read at offset, not through the fork
};

// One B-tree file of the volume (catalog, extents overflow, attributes).
struct HfsBTree {
  HfsFork fork;
  std::vector<HfsRun> runs; // the fork's bytes on the volume
  std::uint32_t nodeSize = 0;
  std::uint32_t totalNodes = 0;
  std::uint32_t firstLeafNode = 0;
  std::uint32_t lastLeafNode = 0;
  std::vector<BTreeNodeInfo> nodes; // kept nodes, in file (or volume) order
};

// One folder or file record of the catalog (the value of the CNID map).
struct HfsNode {
  std::uint16_t kind = 0; // 1 folder, 2 file
  std::uint32_t parentId = 0;
  std::uint32_t cnid = 0;
  std::int64_t firstChild = -1; // CNID, or -1
  std::int64_t nextSibling = -1;
  std::string name;             // UTF-8, as the POSIX side shows it ('/' stored as ':')
  std::uint64_t nodeOffset = 0; // byte offset of the catalog node holding the record
  std::uint32_t recordOffset = 0;
  HfsFork data;                 // data fork (files)
  HfsFork resource;             // resource fork (files)
  std::uint32_t createDate = 0; // seconds since 1904-01-01 00:00 UTC
  std::uint32_t contentModDate = 0;
  std::uint32_t attributeModDate = 0;
  std::uint32_t accessDate = 0;
  std::uint16_t fileMode = 0;
  std::uint8_t ownerFlags = 0;
  std::uint32_t special = 0; // a hard link's inode number
  std::uint32_t fileType = 0;
  std::uint32_t fileCreator = 0;
  bool deleted = false; // found only outside the catalog's leaf chain
  bool orphan = false;  // the synthetic ORPHAN_ENTRY folder

  [[nodiscard]] bool isFolder() const { return kind == 1; }
  [[nodiscard]] bool isFile() const { return kind == 2; }
  [[nodiscard]] bool isHardLink() const;
  [[nodiscard]] bool isCompressed() const;
  // The data fork's size and block count.
  [[nodiscard]] std::uint64_t logicalSize() const { return data.logicalSize; }
  [[nodiscard]] std::uint32_t totalBlocks() const { return data.totalBlocks; }
};

// Where an extents-overflow record lies, and its extents.
struct HfsOverflowRecord {
  std::uint64_t nodeNumber = 0;
  std::uint64_t nodeOffset = 0;
  std::uint16_t recordOffset = 0;
  std::array<HfsExtent, 8> extents{};
};
// (fileID, fork type, startBlock).
using HfsOverflowKey = std::tuple<std::uint32_t, std::uint8_t, std::uint32_t>;

// A com.apple.decmpfs attribute: how the file is compressed and where the attribute lies.
struct HfsCompression {
  std::uint32_t type = 0;
  std::uint64_t size = 0;       // uncompressed size
  std::uint64_t nodeNumber = 0; // the attributes node holding the record
  std::uint16_t dataOffset = 0; // the attribute's bytes within that node
  std::uint32_t dataLength = 0;
};

enum class HfsScanMode { Standard, Deep };

class HFSP {
public:
  HFSP(readWriteInterface &reader, Progress &progress, WorkerControl &control, VolumeRecord volume);

  // --- scan steps, in the order the scans run them ---
  // Sets the reader's base offset to the volume start.
  void attachVolume();
  // Reads the 512-byte volume header at byte 1024; false when it cannot be read.
  bool readVolumeHeader();
  // Standard mode: the catalog's nodes in file order, through all of its extents. False when the
  // block size or the catalog's header node cannot be used.
  bool listCatalogNodes();
  // Deep mode: every block of the volume that starts a catalog leaf node. False with "BlockSize
  // not valid .Aborting.." when the block size, node size or volume size is unusable.
  bool scanCatalogNodes();
  // The extents-overflow B-tree's leaf records, indexed by (fileID, fork type, startBlock). False
  // when its header node is of no known kind.
  bool listExtentsOverflow();
  // Turns the folder and file records of the kept leaf nodes into the CNID map: nodes on the
  // catalog's leaf chain first, so their records win over copies found elsewhere.
  void parseCatalogLeaves();
  // Chains every node under its parent, children in descending CNID order. The deep mode adds
  // ORPHAN_ENTRY for the nodes whose parent folder was not found.
  void linkHfsChildren();
  // Indexes the com.apple.decmpfs attributes of compressed files (only when there are any).
  void listCompressedFiles();
  // Puts ROOT and the top level (the nodes whose parent is the root folder, in CNID order) into
  // the tree, with a placeholder under each folder that has children.
  void fillHfsRootItems(ItemTree &tree);
  // The scan in the given mode up to the linked CNID map. False (status "Scanning process
  // Aborted....") when the volume was refused or the scan was stopped.
  bool scan(HfsScanMode mode);
  bool standardScan() { return scan(HfsScanMode::Standard); }
  bool deepScan() { return scan(HfsScanMode::Deep); }
  // Status "Scanning process Done.".
  void reportScanEnd();

  // --- lookups over the CNID map ---
  [[nodiscard]] const HfsNode *findNode(std::uint32_t cnid) const;
  // The top level below ROOT: nodes whose parent is the root folder, in ascending CNID order.
  [[nodiscard]] std::vector<std::uint32_t> topLevel() const;
  // A folder's children in chain order; a chain that loops or leaves the map ends.
  [[nodiscard]] std::vector<std::uint32_t> childIds(std::uint32_t cnid) const;
  // ORPHAN_ENTRY's CNID in the deep mode.
  [[nodiscard]] std::optional<std::uint32_t> orphanId() const { return orphanId_; }

  // --- one file node at a time ---
  // Creation, access and modification texts and the permission text.
  [[nodiscard]] std::array<std::string, 4> describeHfsFile(const HfsNode &node) const;
  [[nodiscard]] std::string sizeText(const HfsNode &node) const;
  // Bytes a saved copy of the file gets (a hard link's inode file's, a compressed file's
  // uncompressed size).
  [[nodiscard]] std::uint64_t dataSize(const HfsNode &node) const;
  // The node whose data and times a file stands for: a hard link's inode file, else itself.
  [[nodiscard]] const HfsNode &contentNode(const HfsNode &node) const;
  // Access and modification times a saved file gets.
  [[nodiscard]] std::pair<std::optional<FileTime>, std::optional<FileTime>>
  hfsFileTimes(const HfsNode &node) const;
  // Writes the file's data into folder under a safe form of its name (or asName) with its times.
  // An empty file is created empty. Returns the path, or nullopt with why in error.
  std::optional<std::filesystem::path> saveHfsFile(const HfsNode &node,
                                                   const std::filesystem::path &folder,
                                                   std::string *error = nullptr,
                                                   std::string_view asName = {});
  // Adds the extents of a fork's overflow records, from the one starting where the stored
  // extents end, until totalBlocks is reached or a record is missing or adds nothing.
  void appendOverflowExtents(std::uint32_t fileId, std::uint8_t forkType, std::uint32_t totalBlocks,
                             std::vector<HfsExtent> &extents) const;
  // The fork's bytes on the volume: its extents (overflow included), bounded by the disk.
  [[nodiscard]] std::vector<HfsRun> forkRuns(const HfsFork &fork, std::uint32_t fileId,
                                             std::uint8_t forkType) const;
  // Reads out.size() bytes of a fork from offset; bytes no run covers read as zeros.
  bool readFork(const std::vector<HfsRun> &runs, std::uint64_t offset, std::span<std::uint8_t> out);

  // --- state ---
  std::vector<std::uint8_t> volumeHeader; // 512 bytes once read
  std::uint64_t blockSize = 0;
  std::uint32_t totalBlocks = 0;
  HfsBTree catalog;
  HfsBTree extentsOverflow;
  HfsBTree attributes;
  bool nodePositionsAbsolute = false; // the deep mode: node offsets come from the volume scan
  std::map<std::uint32_t, HfsNode> nodeMap;
  std::map<HfsOverflowKey, HfsOverflowRecord> overflowIndex;
  std::map<std::uint32_t, HfsCompression> compressedFiles;

  [[nodiscard]] readWriteInterface &reader() { return reader_; }
  [[nodiscard]] Progress &progress() { return progress_; }
  [[nodiscard]] WorkerControl &control() { return control_; }
  [[nodiscard]] const VolumeRecord &volume() const { return volume_; }

private:
  // Bytes of the volume that lie on the disk (from the base offset to the disk's end).
  [[nodiscard]] std::uint64_t diskBytes() const;
  // Sets up a B-tree from the fork the volume header gives at headerOffset: its runs and the
  // fields of its header node. False when the header node is unusable.
  bool openBTree(HfsBTree &tree, std::size_t headerOffset, std::uint32_t fileId);
  // Reads nodes 0 .. totalNodes - 1 of a B-tree in file order and keeps those of a known kind
  // with records; then marks the leaf nodes that are on the leaf chain.
  void listNodes(HfsBTree &tree);
  // Leaf nodes that are off the chain from firstLeafNode are marked as not live, unless the chain
  // is broken (then every leaf node counts as live).
  void markLeafChain(HfsBTree &tree);
  // Reads one node of a B-tree by its volume offset (scanned nodes) or node number.
  bool readNode(const HfsBTree &tree, const BTreeNodeInfo &info, std::vector<std::uint8_t> &node);
  // Kept leaf nodes, live ones first, each in list order.
  [[nodiscard]] std::vector<const BTreeNodeInfo *> leavesLiveFirst(const HfsBTree &tree) const;
  // Adds the folder or file record at offset of a catalog leaf node (when it is one and is whole).
  void takeCatalogRecord(Bytes node, std::uint16_t offset, const BTreeNodeInfo &info);
  // The inode file of a hard link; nullptr when it is not found.
  [[nodiscard]] const HfsNode *hardLinkTarget(const HfsNode &link) const;
  // Writes a compressed file's data; false with why in error.
  bool writeCompressed(const HfsNode &node, OutputFile &out, std::string &error);

  readWriteInterface &reader_;
  Progress &progress_;
  WorkerControl &control_;
  VolumeRecord volume_;
  std::optional<std::uint32_t> orphanId_;
  std::unordered_map<std::string, std::uint32_t> inodeFiles_; // "iNodeN" → CNID
};

namespace hfs {

// Seconds from 1904-01-01 to 1970-01-01.
inline constexpr std::int64_t kEpochDelta = 2082844800;
// An HFS+ date as Unix seconds; nullopt for 0 (no date recorded).
[[nodiscard]] std::optional<std::int64_t> dateToUnix(std::uint32_t hfsDate);
// A catalog name (UTF-16BE units) as the listing shows it: NUL units become U+2400 and '/'
// becomes ':' (as the POSIX side of the system shows it).
[[nodiscard]] std::string nameText(Bytes utf16be);

} // namespace hfs

} // namespace quillon
