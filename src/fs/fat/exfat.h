// Fat64Class: the exFAT parser of one volume. The standard mode reads the boot sector, walks the
// root directory and every folder below it (deleted entry sets included) into the entry table,
// links the table into first-child / next-sibling chains, and saves an entry's data with its
// times. The advanced mode trusts no boot sector: it searches the volume for allocation-table
// and cluster-heap candidates, scans it for entry sets with a chosen cluster size and builds the
// table from what it found, walking the folders found and gathering unclaimed sets under
// "ORPHAN ENTRY".
//
// Files: exfat.cpp (boot sector, allocation table, folder reading, walk, linking),
// exfat_advanced.cpp (candidates, entry scan, table from found sets), exfat_entries.cpp (entry
// sets, timestamps), exfat_data.cpp (texts and saving).
#pragma once

#include "fs/fat/exfat_entries.h"
#include "volumes/volume_record.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

class Progress;
class WorkerControl;
class readWriteInterface;

// Name of record 0, the placeholder that carries the root's first entry set.
inline constexpr char kExFatDummyName[] = "DUMMY ENTRY";
// Name of record 1 in the advanced mode: the folder of entry sets no folder claims.
inline constexpr char kExFatOrphanName[] = "ORPHAN ENTRY";
inline constexpr std::uint32_t kExFatOrphanIndex = 1;

// The boot-sector fields the parser uses, from a sector that names itself exFAT and has a usable
// geometry (sectors of 512 to 4096 bytes, clusters of at most 32 MiB).
struct ExFatBootFields {
  unsigned bytesPerSectorShift = 9;
  unsigned sectorsPerClusterShift = 0;
  std::uint64_t fatOffset = 0;    // bytes
  std::uint64_t fatLength = 0;    // bytes
  std::uint64_t heapOffset = 0;   // bytes
  std::uint64_t volumeLength = 0; // bytes (saturated); 0 when the sector gives none
  std::uint32_t clusterCount = 0;
  std::uint32_t rootCluster = 0;
};
[[nodiscard]] std::optional<ExFatBootFields> parseExFatBootSector(Bytes sector);

class Fat64Class {
public:
  Fat64Class(readWriteInterface &reader, Progress &progress, WorkerControl &control,
             VolumeRecord volume);

  // Sets the reader's base offset to the volume start.
  void attachReader();
  // Reads the boot sector and computes the geometry. False (and the message "cant read file"
  // when the read itself fails) when the volume is not exFAT or its geometry is unusable; the
  // volume size then comes from the volume record (the disk's end when the record gives none).
  bool readBootSector();
  // Reads the root directory through its whole chain. False when the root cluster is not a
  // cluster of the volume.
  bool loadRootDirectory();
  // Walks the root directory and every folder below it, depth first, and returns the table:
  // record 0 is "DUMMY ENTRY", every entry set follows its folder's record.
  std::vector<ExFatEntry> walkRootDirectory();
  // Links entries into first-child / next-sibling chains, children in table order.
  void linkChildren();
  // The allocation table's value for the cluster (also kept in chainValue); 0xFFFFFFFF when
  // the cluster is not one of the volume, its entry lies outside the table, or driveFormatted
  // is set.
  std::uint32_t nextCluster(std::uint32_t cluster);
  // True when a value from nextCluster does not name a further cluster.
  [[nodiscard]] bool chainEnds(std::uint32_t value) const;

  // The standard scan without the tree: boot sector, root, walk, linking, with the scan's
  // status texts and messages. False when nothing could be listed.
  bool runStandardScan();

  // --- advanced mode (exfat_advanced.cpp) ---
  // A maximum of 0 or below means 3.
  // Sectors that start like an allocation table (0xFFFFFFF8, 0xFFFFFFFF), in volume order, at
  // most maximum of them; "found fat entry  %d " per hit.
  const std::vector<std::uint64_t> &findFatCandidates(std::int64_t maximum);
  // Cluster-heap candidates, at most maximum + 1: the heap offset of the boot sector when it was
  // accepted (or of the backup boot sector when only that one is), then sectors whose first
  // eight bytes are all 0xFF (the allocation bitmap of a well-filled volume), in volume order.
  // The entry scan later puts the heap offsets its evidence gives after the boot sector's.
  const std::vector<std::uint64_t> &findHeapCandidates(std::int64_t maximum);
  // Cluster shifts to offer: the accepted (main or backup) boot sector's first, then 8 to 11.
  [[nodiscard]] std::vector<unsigned> offeredClusterShifts() const;
  // 512-byte sectors, 2^shift sectors per cluster (shifts above 16 are taken as 16).
  void setAdvancedGeometry(unsigned shift);
  // Scans the whole volume for complete entry sets ("found Entry %d " per set) and notes the
  // volume label and the up-case table's entry and data. A stop ends the scan at the next cluster
  // and is cleared, so the build that follows uses what was found. Ends by putting the heap
  // offsets derived from the up-case table into heapCandidates.
  void scanForEntries();
  // Builds the table from entryPositions with the chosen heap and table offsets: record 0
  // "DUMMY ENTRY", record 1 "ORPHAN ENTRY", then each set not yet taken, its folders walked.
  std::vector<ExFatEntry> buildEntriesFromPositions(std::uint64_t heapOffset,
                                                    std::uint64_t tableOffset);
  // The advanced input page's search: base offset, boot sector, both candidate lists.
  void runCandidateSearch(std::int64_t maximum);
  // The advanced scan without the tree: geometry, entry scan, table from the chosen candidates,
  // linking; with the scan's status texts and its closing message. The table is
  // fatCandidates[candidateIndex]. The heap is heapCandidates[heapIndex] of the list as
  // findHeapCandidates made it (the one shown to the user) when heapIndex is given, else
  // heapCandidates[candidateIndex] of the list the scan completed. False when no table could
  // be built because a chosen candidate does not exist.
  bool runAdvancedScan(std::size_t candidateIndex, unsigned shift,
                       std::optional<std::size_t> heapIndex = std::nullopt);

  // Writes the entry into folder under a safe form of its name (of asName when given):
  // ValidDataLength bytes of data, zeros up to DataLength, and its times. Returns the path
  // written, or nullopt (and why in error) when nothing could be written. When the data ends
  // early the shorter file is kept and error says why.
  std::optional<std::filesystem::path> saveEntryFile(const ExFatEntry &entry,
                                                     const std::filesystem::path &folder,
                                                     std::string *error = nullptr,
                                                     std::string_view asName = {});
  // The list's size text, from ValidDataLength.
  [[nodiscard]] std::string sizeText(const ExFatEntry &entry) const;
  // Creation, access and modification texts (as recorded) and the attribute text.
  [[nodiscard]] std::array<std::string, 4> entryTexts(const ExFatEntry &entry) const;
  // The chain of children of a record, in order; bounded by the table size.
  [[nodiscard]] std::vector<const ExFatEntry *> children(const ExFatEntry &folder) const;

  [[nodiscard]] bool clusterValid(std::uint32_t cluster) const {
    return cluster >= 2 && cluster - 2ULL < clusterCount;
  }
  // Byte offset of a valid cluster from the volume start.
  [[nodiscard]] std::uint64_t clusterOffset(std::uint32_t cluster) const {
    return heapOffset + (cluster - 2ULL) * clusterSize;
  }

  // --- geometry (readBootSector) ---
  std::uint64_t bytesPerSector = 0;
  std::uint64_t sectorsPerCluster = 0;
  std::uint8_t sectorsPerClusterShift = 0;
  std::uint64_t clusterSize = 0;
  std::uint64_t fatOffset = 0;  // bytes
  std::uint64_t fatLength = 0;  // bytes
  std::uint64_t heapOffset = 0; // bytes
  std::uint32_t rootCluster = 0;
  // Clusters of the heap that lie inside the volume and the image (boot sector's count, cut).
  std::uint64_t clusterCount = 0;
  std::uint64_t volumeSize = 0; // bytes

  // --- state ---
  bool driveFormatted = false; // the allocation table is not trusted: data is contiguous
  std::vector<ExFatEntry> entries;
  std::vector<std::uint8_t> rootBuffer;             // the root directory, whole chain
  std::set<std::uint64_t> visitedDirOffsets;        // directory clusters read, by byte offset
  std::optional<std::uint64_t> bitmapEntryPosition; // byte offset of the bitmap entry in root
  std::uint32_t chainValue = 0;
  std::uint32_t lookupCount = 0;
  bool bootSectorValid = false; // readBootSector accepted the main boot sector

  // --- advanced mode ---
  std::vector<std::uint64_t> fatCandidates;
  std::vector<std::uint64_t> heapCandidates;
  std::vector<std::uint64_t> entryPositions; // file entries of accepted sets, in volume order
  std::uint64_t labelPosition = 0;           // volume-label entry; 0 when none was seen
  std::set<std::uint64_t> processedPositions;
  bool advancedMode = false;
  // From the main boot sector when accepted, else from the backup boot sector when that is.
  std::optional<std::uint64_t> trustedHeapOffset;
  std::optional<unsigned> trustedClusterShift;

  [[nodiscard]] readWriteInterface &reader() { return reader_; }
  [[nodiscard]] Progress &progress() { return progress_; }
  [[nodiscard]] WorkerControl &control() { return control_; }
  [[nodiscard]] const VolumeRecord &volume() const { return volume_; }

private:
  // An up-case table entry seen by the entry scan.
  struct UpcaseEntry {
    std::uint32_t checksum = 0;
    std::uint32_t firstCluster = 0;
    std::uint64_t dataLength = 0;
    bool operator==(const UpcaseEntry &) const = default;
  };

  // The bytes of a folder: its clusters through the chain, or contiguous over dataLength when
  // contiguous is set; each cluster once per scan, at most maxClusters clusters. The byte offset
  // of each cluster read goes to clusterOffsets when given.
  std::vector<std::uint8_t> readFolder(std::uint32_t firstCluster, bool contiguous,
                                       std::uint64_t maxClusters,
                                       std::vector<std::uint64_t> *clusterOffsets = nullptr);
  // Walks the folder whose bytes are given (records get parent as their parent) and every
  // folder below it, depth first, appending to entries. In the advanced mode every file entry's
  // position goes into processedPositions, and a file entry already there ends the walk of the
  // cluster it lies in; clusterOffsets then gives where each cluster of bytes lies.
  void walkFolderTree(std::vector<std::uint8_t> bytes, std::vector<std::uint64_t> clusterOffsets,
                      std::uint32_t parent);
  // Bytes of the volume that can be read: the volume size, cut to the end of the disk.
  [[nodiscard]] std::uint64_t readableBytes() const;
  // The volume size the record gives; the rest of the disk when it gives none.
  [[nodiscard]] std::uint64_t recordVolumeBytes() const;
  // Notes the heap offset and cluster shift of the main boot sector, or of the backup.
  void noteTrustedBootSector();
  // Heap offsets that the up-case table's entry and data give with the current cluster size.
  [[nodiscard]] std::vector<std::uint64_t> heapOffsetsFromEvidence();
  // Tests the entry at buffer[at] (buffer starts at volume offset start) and returns the offset
  // of the next entry to test.
  std::size_t scanEntryAt(Bytes buffer, std::size_t at, std::uint64_t start);

  readWriteInterface &reader_;
  Progress &progress_;
  WorkerControl &control_;
  VolumeRecord volume_;
  // A window of the allocation table, so a chain costs one read per window, not per link.
  std::vector<std::uint8_t> fatCache_;
  std::uint64_t fatCacheStart_ = 0;
  // Advanced mode: the longest heap list, and the up-case evidence of the entry scan.
  std::size_t heapLimit_ = 4;
  std::vector<std::uint64_t> searchedHeaps_; // heapCandidates as findHeapCandidates made them
  std::vector<UpcaseEntry> upcaseEntries_;
  std::vector<std::uint64_t> upcaseDataSectors_;
};

} // namespace quillon
