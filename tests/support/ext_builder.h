// ExtBuilder: small ext2/ext4 volumes in memory for the ext parser tests: the superblock, group
// descriptors (32- or 64-byte), inode tables, block bitmaps, block maps with indirect blocks,
// extent trees, inline data and directory blocks whose records may hide deleted records in
// their slack. Blocks are kept sparsely, so a volume may claim (and use) block numbers beyond
// 2^32 and still be read through SparseDisk without being held whole.
#pragma once

#include "disk/reader.h"
#include "volumes/volume_record.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace quillon::test {

struct ExtOptions {
  std::uint32_t blockSize = 1024;
  std::uint64_t blocksCount = 2048;
  std::uint32_t blocksPerGroup = 8192;
  std::uint32_t inodesPerGroup = 32;
  std::uint16_t inodeSize = 256;
  bool fileTypes = true; // directory records carry a file-type byte
  bool bit64 = false;    // the 64-bit feature: 64-byte descriptors, 48-bit block numbers
};

// The fields of one inode that the tests set.
struct ExtInode {
  std::uint16_t mode = 0x81A4; // a regular file, 0644
  std::uint64_t size = 0;
  std::uint32_t flags = 0;
  std::uint16_t links = 1;
  std::uint32_t dtime = 0;
  std::uint32_t atime = 1700000000;
  std::uint32_t ctime = 1700000100;
  std::uint32_t mtime = 1700000200;
  std::array<std::uint8_t, 60> block{};
  // Bytes from offset 128 on (extra size and times, in-inode attributes); when empty an inode
  // larger than 128 bytes gets an extra size of 32.
  std::vector<std::uint8_t> tail;
};

// One record of a directory block.
struct ExtRecord {
  std::uint32_t inode = 0;
  std::string name;
  std::uint8_t type = 1;
  bool deleted = false; // hidden in the slack of the record before it
};

// One entry of an extent node: a leaf extent, or (in an index node) the child's block in start.
struct ExtExtent {
  std::uint32_t logical = 0;
  std::uint64_t start = 0;
  std::uint16_t length = 0;
  bool uninitialised = false;
};

inline constexpr std::uint16_t kExtDirMode = 0x41ED;  // drwxr-xr-x
inline constexpr std::uint16_t kExtFileMode = 0x81A4; // -rw-r--r--

// i_block of a block map: up to twelve direct pointers, then the indirect roots.
[[nodiscard]] std::array<std::uint8_t, 60> extBlockMap(const std::vector<std::uint32_t> &direct,
                                                       std::uint32_t single = 0,
                                                       std::uint32_t dbl = 0,
                                                       std::uint32_t triple = 0);
// i_block holding an extent node of the given depth.
[[nodiscard]] std::array<std::uint8_t, 60> extExtentRoot(std::uint16_t depth,
                                                         const std::vector<ExtExtent> &entries);
// Makes inode hold data inline: the first 60 bytes in i_block, the rest in "system.data" (for
// 256-byte inodes at most 68 more bytes).
void extSetInline(ExtInode &inode, const std::vector<std::uint8_t> &data);

// A disk whose sectors live in a few stored pieces; everything else reads as zeros.
class SparseDisk final : public readWriteInterface {
public:
  SparseDisk(std::map<std::uint64_t, std::vector<std::uint8_t>> pieces, std::uint64_t bytes);
  bool open(const std::filesystem::path &) override { return true; }
  [[nodiscard]] std::uint64_t sectorCount() const override { return bytes_ / kSectorSize; }
  [[nodiscard]] std::string kindText() const override { return "sparse memory"; }
  // Read requests served so far.
  [[nodiscard]] std::uint64_t reads() const { return reads_; }
  bool read(void *buffer, std::uint64_t count) override {
    ++reads_;
    return readWriteInterface::read(buffer, count);
  }

protected:
  Run mapRun(std::uint64_t abs, std::uint64_t maxLength) override;

private:
  std::map<std::uint64_t, std::vector<std::uint8_t>> pieces_; // by byte offset
  std::uint64_t bytes_;
  std::uint64_t reads_ = 0;
};

class ExtBuilder {
public:
  explicit ExtBuilder(ExtOptions options = {});

  [[nodiscard]] const ExtOptions &options() const { return options_; }
  [[nodiscard]] std::uint32_t blockSize() const { return options_.blockSize; }
  [[nodiscard]] std::uint32_t groupCount() const { return groupCount_; }
  [[nodiscard]] std::uint32_t inodeCount() const { return groupCount_ * options_.inodesPerGroup; }

  // count consecutive free blocks, marked in use in the block bitmap.
  std::uint64_t allocate(std::uint64_t count = 1);
  // The bytes of a block (created zeroed).
  std::vector<std::uint8_t> &block(std::uint64_t number);
  // Writes bytes across consecutive blocks from first on.
  void write(std::uint64_t first, const std::vector<std::uint8_t> &bytes);
  // Marks a block free or in use in its group's bitmap.
  void setInUse(std::uint64_t block, bool used);

  // Places a group's inode table (blocks are taken when a group's first inode is written).
  void setInodeTable(std::uint32_t group, std::uint64_t block);
  void writeInode(std::uint32_t number, const ExtInode &inode);

  // A block of 32-bit pointers, index -> pointer.
  void writePointers(std::uint64_t block, const std::map<std::uint32_t, std::uint32_t> &pointers);
  void writeExtentNode(std::uint64_t block, std::uint16_t depth,
                       const std::vector<ExtExtent> &entries);
  // A directory block: the live records packed in order, each deleted record in the slack of the
  // live one before it, the last live record reaching the end of the block.
  [[nodiscard]] std::vector<std::uint8_t> dirBlock(const std::vector<ExtRecord> &records,
                                                   std::size_t bytes = 0) const;

  // A folder in one new block: ".", ".." and the records; its inode is written (mode 040755, two
  // links unless the inode says otherwise).
  void addFolder(std::uint32_t number, std::uint32_t parent, const std::vector<ExtRecord> &records,
                 ExtInode inode = {});
  // A file in new consecutive blocks through direct pointers (at most twelve blocks); returns
  // its first block (0 for an empty file).
  std::uint64_t addFile(std::uint32_t number, const std::vector<std::uint8_t> &data,
                        ExtInode inode = {});

  // Superblock fields and descriptor bytes for the tests that damage them; applied last.
  void setSuperblockField(std::size_t offset, std::uint64_t value, std::size_t width);

  // The whole volume (for volumes of a few MiB).
  [[nodiscard]] std::vector<std::uint8_t> image() const;
  [[nodiscard]] std::unique_ptr<SparseDisk> sparseDisk() const;
  // The volume record of the whole volume, its size in whole MiB (at least 1).
  [[nodiscard]] VolumeRecord record() const;

private:
  [[nodiscard]] std::map<std::uint64_t, std::vector<std::uint8_t>> finalBlocks() const;
  [[nodiscard]] std::uint64_t groupStart(std::uint32_t group) const;

  ExtOptions options_;
  std::uint32_t groupCount_ = 1;
  std::uint32_t firstDataBlock_ = 0;
  std::uint64_t nextFree_ = 0;
  std::map<std::uint64_t, std::vector<std::uint8_t>> blocks_;
  std::map<std::uint32_t, std::uint64_t> inodeTables_; // group -> first block
  std::map<std::uint32_t, std::uint64_t> bitmaps_;     // group -> block bitmap block
  std::set<std::uint64_t> reserved_;                   // metadata blocks never allocated
  std::vector<std::pair<std::size_t, std::pair<std::uint64_t, std::size_t>>> superblockFields_;
};

} // namespace quillon::test
