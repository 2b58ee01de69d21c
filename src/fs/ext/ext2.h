// ext2Class: the parser of one ext2, ext3 or ext4 volume. It finds the superblock, reads the
// group descriptors (32- or 64-byte) and the used part of every inode table once, names the
// inodes from the live directory entries, adds the names that deleted entries left in the slack
// of directory records, and links everything into first-child / next-sibling chains below ROOT.
// A file's data is read through its block map or extent tree, with holes as zeros.
//
// Files: ext_superblock.cpp (superblock search, geometry, group descriptors), ext_inode.cpp
// (inode fields, inode tables), ext_block_map.cpp (block maps, extent trees, inline data),
// ext_directory.cpp (directory records, live and deleted names), ext_tree.cpp (node map,
// linking, tree, scan steps), ext_data.cpp (list texts, saving).
#pragma once

#include "core/byte_order.h"
#include "core/item_tree.h"
#include "volumes/volume_record.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillon {

class Progress;
class WorkerControl;
class readWriteInterface;
struct FileTime;

// Layout of the volume, from the superblock in use.
struct ExtGeometry {
  std::uint64_t volumeSize = 0;       // bytes, from the volume record
  std::uint64_t superblockOffset = 0; // byte offset of the superblock copy in use
  std::uint32_t groupCount = 0;
  std::uint32_t inodeCount = 0;
  std::uint32_t blockSize = 0;
  std::uint32_t blocksPerGroup = 0;
  std::uint64_t groupSize = 0; // bytes
  std::uint32_t inodeSize = 0;
  std::uint32_t inodesPerGroup = 0;
  bool hasFileTypes = false; // entries carry an 8-bit name length and a file-type byte

  std::uint64_t blocksCount = 0;
  std::uint32_t firstDataBlock = 0;
  std::uint32_t firstInode = 11; // first inode that is not reserved
  std::uint32_t descriptorSize = 32;
  std::uint32_t featureCompat = 0;
  std::uint32_t featureIncompat = 0;
  std::uint32_t featureRoCompat = 0;
  std::uint32_t firstMetaGroup = 0; // meta_bg: first descriptor block stored in its meta group
  std::array<std::uint32_t, 2> backupGroups{}; // sparse_super2: the groups with backups
  std::uint32_t clusterRatio = 1;              // blocks per allocation-bitmap bit (bigalloc)
  // Block numbers below this lie on the volume and on the disk; larger ones are never read.
  std::uint64_t readableBlocks = 0;

  [[nodiscard]] bool has64BitBlocks() const { return (featureIncompat & 0x80) != 0; }
  [[nodiscard]] bool hasMetaGroups() const { return (featureIncompat & 0x10) != 0; }
  // Group descriptors carry trustworthy "never initialised" flags and unused-inode counts.
  [[nodiscard]] bool hasGroupChecksums() const { return (featureRoCompat & 0x410) != 0; }
  [[nodiscard]] bool validBlock(std::uint64_t block) const {
    return block != 0 && block < readableBlocks;
  }
};

// What readGroupDescriptors keeps of one group.
struct ExtGroup {
  std::uint64_t inodeTable = 0;
  std::uint64_t blockBitmap = 0;
  std::uint16_t flags = 0;
  std::uint32_t unusedInodes = 0; // inodes at the end of the table never used
};

// A time as the inode records it: seconds (with the epoch bits of the extra field) and
// nanoseconds.
struct ExtTime {
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
};

// One inode that a directory entry may name, or one deleted name. Live nodes have the key
// inode - 1; deleted names found in directory slack get keys from kExtDeletedKeyBase on, so
// they never take the place of a live node.
struct ExtNode {
  std::string name; // UTF-8
  bool named = false;
  std::int64_t key = -1;
  std::int64_t parentKey = -1;
  std::uint16_t mode = 0;      // i_mode, or 0x4000 / 0x8000 from the entry's file type
  std::uint16_t inodeMode = 0; // i_mode as stored (the permission text)
  std::uint64_t size = 0;
  std::uint64_t inodeTableBlock = 0;
  std::uint32_t indexInGroup = 0;
  std::int64_t firstChildKey = -1;
  std::int64_t nextSiblingKey = -1;

  std::uint32_t inode = 0;      // the inode holding the data; 0 when there is none to read
  std::uint32_t entryInode = 0; // the inode the directory entry names (orders the children)
  bool deleted = false;         // a name found in the slack of a directory record
  bool inUse = false;           // the inode has links and no deletion time
  ExtTime accessed;
  ExtTime changed; // i_ctime, shown as the creation time
  ExtTime modified;

  [[nodiscard]] bool isFolder() const { return (mode & 0xF000) == 0x4000; }
  // Regular files and symbolic links; devices, FIFOs and sockets are neither.
  [[nodiscard]] bool isFile() const {
    return (mode & 0xF000) == 0x8000 || (mode & 0xF000) == 0xA000;
  }
};

inline constexpr std::int64_t kExtRootKey = 2;
inline constexpr std::int64_t kExtDeletedKeyBase = std::int64_t{1} << 32;

namespace ext {

// A run of a file's logical blocks: physical blocks, or zeros (an uninitialised extent).
struct Extent {
  std::uint64_t logical = 0;
  std::uint64_t physical = 0;
  std::uint64_t count = 0;
  bool zeros = false;
};

// Where an inode's data lies: runs sorted by logical block that never overlap (the gaps are
// holes), or bytes held in the inode itself (inline data, fast symbolic links).
struct DataMap {
  std::vector<Extent> extents;
  bool inlineData = false;
  std::vector<std::uint8_t> inlineBytes;
};

} // namespace ext

class ext2Class {
public:
  ext2Class(readWriteInterface &reader, Progress &progress, WorkerControl &control,
            VolumeRecord volume);

  // --- scan steps, in the order the scan runs them ---
  // Sets the reader's base offset to the volume start; false when the reader cannot seek there.
  bool attachReader();
  // Searches the volume for a superblock from byte 1024 on in 512-byte steps; true when one was
  // found and the geometry taken from it.
  bool findSuperblock();
  // Reads the group descriptors; false when they cannot be read or describe no group.
  bool readGroupDescriptors();
  // Reads the used part of every group's inode table once into the node table.
  void readInodeTables();
  // Names the nodes from the entries of every live directory and adds the deleted names found
  // in record slack; true when the node table is not empty.
  bool parseDirectories();
  // Moves the named nodes into the node map, with ROOT under key 2.
  void buildNodeMap();
  // Chains every node under its parent, children in descending inode order.
  void linkChildren();
  // Puts ROOT and the top level into the tree.
  void fillRootItems(ItemTree &tree);
  // The scan up to the linked node map, with the scan's status texts. False when the volume
  // was refused (no superblock, or no readable group descriptors).
  bool standardScan();
  // What the scan page shows when the scan ends: "Processing done..." and "done..".
  void reportScanEnd();

  // --- lookups over the node map ---
  [[nodiscard]] const ExtNode *findNode(std::int64_t key) const;
  [[nodiscard]] const ExtNode *firstChild(const ExtNode &node) const;
  [[nodiscard]] const ExtNode *nextSibling(const ExtNode &node) const;
  // Keys of a node's children in chain order; a chain that loops or leaves the map ends.
  [[nodiscard]] std::vector<std::int64_t> childKeys(std::int64_t key) const;

  // --- one node at a time ---
  // Creation (i_ctime), access and modification texts and the permission text.
  [[nodiscard]] std::array<std::string, 4> describeNode(const ExtNode &node) const;
  // The permission text alone ("-OE-OW-OR..." for the bits of i_mode that are set).
  [[nodiscard]] static std::string permissionText(const ExtNode &node);
  [[nodiscard]] std::string sizeText(const ExtNode &node) const;
  // Access and modification times the saved file gets; none for a node without an inode.
  [[nodiscard]] std::pair<std::optional<FileTime>, std::optional<FileTime>>
  nodeFileTimes(const ExtNode &node) const;
  // Bytes a saved copy of the node gets.
  [[nodiscard]] std::uint64_t dataSize(const ExtNode &node) const;
  // Writes the node's data into folder under a safe form of its name (or asName) with its
  // times: holes and uninitialised extents as zeros, cut at the size. Returns the path written,
  // or nullopt with why in error.
  std::optional<std::filesystem::path> saveNodeFile(const ExtNode &node,
                                                    const std::filesystem::path &folder,
                                                    std::string *error = nullptr,
                                                    std::string_view asName = {});

  // One inode's record (inode-size bytes); empty when it cannot be read.
  [[nodiscard]] std::vector<std::uint8_t> readInode(std::uint32_t inode);
  // Where an inode's data lies, for at most the blocks its size needs.
  [[nodiscard]] ext::DataMap mapData(Bytes inode);

  // --- state ---
  ExtGeometry geometry;
  std::vector<ExtGroup> groups;
  std::vector<ExtNode> nodeTable; // inodes in ascending order, emptied by buildNodeMap
  std::map<std::int64_t, ExtNode> nodeMap;

  [[nodiscard]] readWriteInterface &reader() { return reader_; }
  [[nodiscard]] Progress &progress() { return progress_; }
  [[nodiscard]] WorkerControl &control() { return control_; }
  [[nodiscard]] const VolumeRecord &volume() const { return volume_; }

private:
  struct DirectoryInode {
    std::uint32_t inode = 0;
    std::vector<std::uint8_t> bytes;
  };
  // One name taken from a directory: a live record or a deleted one from slack.
  struct DirEntry {
    std::uint32_t inode = 0;
    std::uint8_t fileType = 0;
    std::string name;
    bool deleted = false;
  };

  [[nodiscard]] bool takeSuperblock(Bytes superblock, std::uint64_t offset);
  [[nodiscard]] std::optional<std::uint64_t> descriptorOffset(std::uint32_t group) const;
  [[nodiscard]] std::uint64_t groupFirstBlock(std::uint64_t group) const;
  [[nodiscard]] bool groupHasSuperblock(std::uint64_t group) const;
  // Bytes of the volume that can be read: from the base offset to the end of the disk.
  [[nodiscard]] std::uint64_t readableBytes() const;
  // The node of an inode in the node table, by binary search.
  [[nodiscard]] ExtNode *tableNode(std::uint32_t inode);
  // Every name in a directory's data: live records, and (with slack) deleted ones.
  [[nodiscard]] std::vector<DirEntry> directoryEntries(Bytes inodeBytes, bool indexed);
  // Walks one directory block (or an inline region) into entries.
  void walkDirectoryBlock(Bytes block, bool skipFirstSlack, std::vector<DirEntry> &entries) const;
  // Deleted records in bytes [from, to) of a block.
  void scanSlack(Bytes block, std::size_t from, std::size_t to,
                 std::vector<DirEntry> &entries) const;
  // Adds a node for a deleted name under parentKey (nothing for a name that is neither a file
  // nor a folder). Returns the key and inode of a deleted folder whose inode can be read.
  std::optional<std::pair<std::int64_t, std::uint32_t>> addDeletedNode(const DirEntry &entry,
                                                                       std::int64_t parentKey);
  // Lists the contents of deleted folders whose inodes still hold their blocks.
  void parseDeletedFolders(std::vector<std::pair<std::int64_t, std::uint32_t>> pending);
  void collectBlockMap(Bytes inode, std::uint64_t neededBlocks, std::uint64_t &budget,
                       std::vector<ext::Extent> &out);
  void collectExtents(Bytes inode, std::uint64_t neededBlocks, std::uint64_t &budget,
                      std::vector<ext::Extent> &out);
  [[nodiscard]] std::vector<std::uint8_t> inlineData(Bytes inode, std::uint64_t size) const;
  // Whether the block bitmap marks the block as in use (read per group, cached).
  [[nodiscard]] bool blockInUse(std::uint64_t block);
  // Reads bytes of the volume through a one-block cache of inode-table blocks.
  bool readCachedBlock(std::uint64_t block, std::vector<std::uint8_t> &out);

  readWriteInterface &reader_;
  Progress &progress_;
  WorkerControl &control_;
  VolumeRecord volume_;
  std::vector<DirectoryInode> directories_; // live and freed directory inodes, in inode order
  std::int64_t nextDeletedKey_ = kExtDeletedKeyBase;
  std::uint32_t inodesCovered_ = 0; // inodes 1..inodesCovered_ lie in groups that were read
  std::uint64_t cachedBlock_ = 0;
  std::vector<std::uint8_t> cachedBytes_;
  std::unordered_map<std::uint32_t, std::vector<std::uint8_t>> bitmaps_;
};

} // namespace quillon
