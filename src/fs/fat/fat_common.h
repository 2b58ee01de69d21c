// Pieces shared by the FAT16 and FAT32 parsers: the FatEntry record, directory-slot parsing
// (short names, long names with their checksums, deleted slots), the boot-sector geometry, a
// cached allocation table with the chain rule, the directory walk that fills the entry table,
// linking the table into first-child / next-sibling chains, the list texts and saving a file.
#pragma once

#include "core/byte_order.h"
#include "volumes/volume_record.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillon {

class Progress;
class WorkerControl;
class readWriteInterface;

// One directory slot taken into the entry table.
struct FatEntry {
  std::uint8_t attributes = 0;
  std::uint8_t createTimeTenths = 0;
  std::uint16_t createTime = 0;
  std::uint16_t createDate = 0;
  std::uint16_t accessDate = 0;
  std::uint16_t firstClusterHigh = 0;
  std::uint16_t writeTime = 0;
  std::uint16_t writeDate = 0;
  std::uint16_t firstClusterLow = 0;
  std::uint32_t fileSize = 0;
  std::uint8_t deleted = 0; // 1 when the slot or its long name is marked 0xE5
  std::string name;         // UTF-8: the long name, or the short name
  std::uint32_t parentIndex = 0;
  std::uint32_t selfIndex = 0;
  FatEntry *firstChild = nullptr;  // set by linkChildren; points into the table
  FatEntry *nextSibling = nullptr; // set by linkChildren; points into the table

  [[nodiscard]] std::uint32_t firstCluster() const {
    return (static_cast<std::uint32_t>(firstClusterHigh) << 16) | firstClusterLow;
  }
};

namespace fat {

inline constexpr std::size_t kSlotSize = 32;
inline constexpr std::uint8_t kDeletedMark = 0xE5;
inline constexpr std::uint8_t kLongNameAttributes = 0x0F;
// Attribute byte of never-initialised memory; an advanced walk ends the cluster there.
inline constexpr std::uint8_t kFillerAttributes = 0xCD;
// A long name has at most 255 characters, 13 to a slot.
inline constexpr std::size_t kMaxLongNameSlots = 20;
// A directory holds at most 65536 slots.
inline constexpr std::size_t kMaxDirectoryBytes = 65536 * kSlotSize;
// Folders nested deeper than this keep their record but are not entered.
inline constexpr std::size_t kMaxFolderDepth = 256;

// Attribute values that the walks treat as a folder (exact values, not bit tests).
[[nodiscard]] bool isDirectoryClass(std::uint8_t attributes);

// A volume-label slot (attribute bit 0x08, not a long name): it names the volume, not a file.
[[nodiscard]] constexpr bool isVolumeLabel(std::uint8_t attributes) {
  return (attributes & 0x08) != 0 && attributes != kLongNameAttributes;
}

// The record fields of one 32-byte slot (name, deleted and indexes left empty).
[[nodiscard]] FatEntry entryFromSlot(Bytes slot);

// The name of a short slot: base and extension with their padding removed, joined by '.'
// when the extension is not blank, lower-cased where the slot's case bits say so. The first
// byte of a deleted slot (0xE5) shows as '_'; 0x05 stands for the character 0xE5.
[[nodiscard]] std::string shortName(Bytes slot);

// Checksum of the 11 short-name bytes that the long-name slots of that name carry.
[[nodiscard]] std::uint8_t shortNameChecksum(Bytes slot);

// A long name gathered from consecutive 0x0F slots (stored last piece first on disk).
struct LongName {
  std::u16string units;
  bool deleted = false;
  std::uint8_t checksum = 0;
  // Whether it belongs to the short slot: its checksum matches (for a deleted slot, for some
  // first byte, since the deletion mark replaced it).
  [[nodiscard]] bool belongsTo(Bytes shortSlot) const;
};

// Gathers the long name starting at offset in dir: at most kMaxLongNameSlots consecutive 0x0F
// slots. Returns the name and the offset after the slots taken.
[[nodiscard]] std::pair<LongName, std::size_t> gatherLongName(Bytes dir, std::size_t offset);

// Names a record from its short slot and the long name gathered before it (when the long name's
// checksum ties it to the slot), and marks it deleted when either is.
void nameEntry(FatEntry &entry, Bytes slot, const std::optional<LongName> &longName);

// Two folder slots of one folder that name the same first cluster are one folder: the earlier
// record takes the later slot (a live slot wins over a deleted one; otherwise the later name).
void mergeFolder(FatEntry &earlier, FatEntry later);

// The bytes of a folder read cluster by cluster, with the volume offset of each cluster (or,
// for a fixed root directory, of each cluster-sized piece).
struct FolderBytes {
  std::vector<std::uint8_t> data;
  std::vector<std::uint64_t> clusterOffsets;
};

// DOS date and time (local time, honouring TZ) to a Unix time; nullopt for a date of 0 or an
// impossible date.
[[nodiscard]] std::optional<std::int64_t> dosToUnix(std::uint16_t date, std::uint16_t time);

// Creation, access, modification and attribute texts of a record, as the list shows them.
[[nodiscard]] std::array<std::string, 4> entryTexts(const FatEntry &entry);
[[nodiscard]] std::string sizeText(const FatEntry &entry);

// Sets firstChild and nextSibling over the table: children in table order; a record whose
// parent index is not below its own (other than record 0's) is nobody's child, so the links
// never form a cycle. Reports progress as a position in 0..1000.
void linkChildren(std::vector<FatEntry> &entries, Progress &progress);

// Whether the advanced entry scan takes a 32-byte slot as a directory entry: a long-name slot
// with a sane sequence byte, or a file or folder slot with short-name characters, valid dates
// and times and a first cluster within maxCluster (live folders with a size of 0). Volume
// labels are not entries.
[[nodiscard]] bool acceptFoundSlot(Bytes slot, std::uint32_t maxCluster, bool fat32);

// Layout of a FAT volume, from its boot sector. All offsets are bytes from the volume start.
struct Geometry {
  std::uint32_t bytesPerSector = 0;
  std::uint32_t clusterSize = 0;
  std::uint64_t tableOffset = 0;
  std::uint64_t tableSize = 0;   // bytes of one allocation table
  std::uint64_t rootOffset = 0;  // FAT16: the fixed root directory
  std::uint64_t rootSize = 0;    // FAT16: bytes of the fixed root directory
  std::uint64_t dataStart = 0;   // offset of cluster 2
  std::uint32_t maxCluster = 0;  // highest cluster number that lies on the volume and in the table
  std::uint32_t rootCluster = 0; // FAT32: first cluster of the root directory
  unsigned entryBytes = 2;       // 2 for FAT16, 4 for FAT32

  [[nodiscard]] bool validCluster(std::uint64_t c) const { return c >= 2 && c <= maxCluster; }
  [[nodiscard]] std::uint64_t clusterOffset(std::uint32_t c) const {
    return dataStart + std::uint64_t{c - 2} * clusterSize;
  }
};

// Boot-sector structure check shared by both parsers: sane bytes per sector, a power-of-two
// sectors per cluster, reserved sectors and at least one table. The OEM name is not looked at.
[[nodiscard]] bool plausibleBootSector(Bytes sector);

// Geometry from an accepted boot sector; volumeBytes bounds the cluster count when the sector
// gives no total. Fails (nullopt) when the layout does not fit.
[[nodiscard]] std::optional<Geometry> geometryFrom(Bytes sector, bool fat32,
                                                   std::uint64_t volumeBytes);

// The shared parser: geometry, the cached allocation table, the walk, linking and saving.
// Fat16Class and Fat32Class add their boot sector and root directory.
class FatVolume {
public:
  FatVolume(readWriteInterface &reader, Progress &progress, WorkerControl &control,
            VolumeRecord volume);
  // Fat16Class and Fat32Class are held and destroyed through this base as well.
  virtual ~FatVolume() = default;
  FatVolume(const FatVolume &) = delete;
  FatVolume &operator=(const FatVolume &) = delete;

  // The next cluster of the chain, or nullopt when c is the last one: end marks, free and bad
  // clusters, and numbers beyond the volume all end a chain. With driveFormatted set the table
  // is not consulted and every chain ends after its first cluster.
  [[nodiscard]] std::optional<std::uint32_t> nextCluster(std::uint32_t c);
  // The raw table value of cluster c (top four bits cleared on FAT32); 0 when unreadable.
  [[nodiscard]] std::uint32_t tableValue(std::uint32_t c);
  // The chain from first: each cluster once, at most maxClusters of them.
  [[nodiscard]] std::vector<std::uint32_t> chain(std::uint32_t first, std::size_t maxClusters);

  // Sets firstChild/nextSibling over entries.
  void linkChildren();

  // Writes the record's data into folder under a safe form of its name (or asName) with its
  // access and modification times. A live file follows its chain; a deleted file (or any file
  // when driveFormatted is set) is read as consecutive clusters from its first one. Returns the
  // path written, or nullopt with why in error.
  std::optional<std::filesystem::path> saveEntryFile(const FatEntry &entry,
                                                     const std::filesystem::path &folder,
                                                     std::string *error = nullptr,
                                                     std::string_view asName = {});

  [[nodiscard]] std::array<std::string, 4> entryTexts(const FatEntry &entry) const {
    return fat::entryTexts(entry);
  }
  [[nodiscard]] std::string sizeText(const FatEntry &entry) const { return fat::sizeText(entry); }

  // --- advanced mode: the volume without a trusted boot sector or directory tree ---

  // Sectors that begin like the first allocation table (the FAT16 or FAT32 signature), in
  // volume order; at most maximum of them (3 when maximum is 0 or less). Also kept in
  // fatCandidates.
  std::vector<std::uint64_t> findFatCandidates(std::int64_t maximum);
  // The geometry chosen by hand: 512-byte sectors, sectorsPerCluster of them to a cluster, and
  // as many clusters as the volume's size holds. False when the value cannot be a cluster size.
  bool setAdvancedGeometry(std::uint32_t sectorsPerCluster);
  // The allocation table that chains are read from starts at offset.
  void setTableAt(std::uint64_t offset);
  // Reads the whole volume and keeps the position of every slot that looks like a directory
  // entry in entryPositions (and the evidence of where cluster 2 starts).
  void scanForEntries();
  // Builds the table from the slots found: record 0 "DUMMY ENTRY" and record 1 "ORPHAN
  // ENTRY", then the root directory and everything below it, then every slot found that no
  // folder claimed (under "ORPHAN ENTRY" unless it lies in the root) with its folder's contents.
  std::vector<FatEntry> buildEntriesFromPositions();
  // The advanced scan up to the linked table, with table candidate candidateIndex (see
  // findFatCandidates) and the chosen cluster size. False when there is no such candidate or
  // the cluster size is unusable.
  bool advancedScan(std::size_t candidateIndex, std::uint32_t sectorsPerCluster);

  std::vector<std::uint64_t> fatCandidates;
  std::vector<std::uint64_t> entryPositions;
  std::set<std::uint64_t> processedPositions;
  // Where the advanced build put cluster 2 and the root directory (bytes from the volume start).
  std::uint64_t advancedDataStart = 0;

  std::vector<FatEntry> entries;
  Geometry geometry;
  // The geometry of the boot sector, when one was accepted.
  std::optional<Geometry> bootGeometry;
  bool driveFormatted = false;  // the volume was formatted: chains are not trusted
  std::uint64_t volumeSize = 0; // bytes, from the volume record
  bool advancedMode = false;    // the geometry was chosen by hand, not read from a boot sector

protected:
  // Walks the root directory held in root (record 0 "DUMMY ENTRY" first) and every folder
  // below it, depth first, filling entries in pre-order.
  void walkTree(FolderBytes root);
  // Appends the records of the folder start (as children of folderIndex) and of every folder
  // below it, depth first. checkDot: the folder's first slot must be "." or it is not read.
  void walkFolders(std::uint32_t folderIndex, FolderBytes start, bool checkDot);
  // The folder starting at cluster first, through its chain, up to the size a directory can
  // have; clusters already walked (and clusters beyond the volume) end it.
  [[nodiscard]] FolderBytes readFolder(std::uint32_t first, std::size_t maxClusters);
  // bytes read in one piece at offset (a fixed root directory).
  [[nodiscard]] FolderBytes readContiguous(std::uint64_t offset, std::uint64_t bytes);
  [[nodiscard]] std::uint64_t volumeLimit() const;
  // Reads the boot sector and, when it describes a FAT32 (or, with fat32 false, a FAT16) volume,
  // takes its geometry and returns the sector. A FAT32 boot sector has 0 in the 16-bit table
  // size; a FAT16 one does not. A failed read leaves zeros, which are refused.
  std::optional<std::array<std::uint8_t, 512>> readBootSectorAs(bool fat32);
  // Bytes of the volume that can be read: the volume size, cut to the end of the disk.
  [[nodiscard]] std::uint64_t readableBytes() const;
  [[nodiscard]] bool isFat32() const { return geometry.entryBytes == 4; }
  // Whether a free (0x00) slot ends the walk of the cluster it lies in.
  bool freeSlotEndsCluster = false;
  // Advanced mode: volume offsets of the slots already taken into the table. A walk skips
  // them and adds the slots it takes.
  std::set<std::uint64_t> *claims_ = nullptr;

  readWriteInterface &reader_;
  Progress &progress_;
  WorkerControl &control_;
  VolumeRecord volume_;
  std::set<std::uint32_t> visitedDirClusters_;

private:
  // Where cluster 2 starts, chosen from the boot sector, the "." slots, the volume label or
  // the first slot found (in that order of trust).
  [[nodiscard]] std::uint64_t chooseDataStart() const;
  // The record of the slot found at position p, named with the long-name slots before it.
  [[nodiscard]] std::optional<FatEntry> recordAt(std::uint64_t p);
  // Candidate starts of cluster 2 by how many "." slots point to them.
  std::map<std::uint64_t, std::uint32_t> dotVotes_;
  std::optional<std::uint64_t> labelPosition_;

  static constexpr std::uint64_t kTableBlock = 64 * 1024;
  static constexpr std::size_t kMaxTableBlocks = 1024;
  std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> tableBlocks_;
};

} // namespace fat
} // namespace quillon
