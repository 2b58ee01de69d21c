// Fat64Class: the exFAT parser of one volume in the standard mode. It reads the boot sector,
// walks the root directory and every folder below it (deleted entry sets included) into the
// entry table, links the table into first-child / next-sibling chains, and saves an entry's
// data with its times.
//
// Files: exfat.cpp (boot sector, allocation table, folder reading, walk, linking),
// exfat_entries.cpp (entry sets, timestamps), exfat_data.cpp (texts and saving).
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

class Fat64Class {
public:
  Fat64Class(readWriteInterface &reader, Progress &progress, WorkerControl &control,
             VolumeRecord volume);

  // Sets the reader's base offset to the volume start.
  void attachReader();
  // Reads the boot sector and computes the geometry. False (and the message "cant read file"
  // when the read itself fails) when the volume is not exFAT or its geometry is unusable.
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

  [[nodiscard]] readWriteInterface &reader() { return reader_; }
  [[nodiscard]] Progress &progress() { return progress_; }
  [[nodiscard]] WorkerControl &control() { return control_; }
  [[nodiscard]] const VolumeRecord &volume() const { return volume_; }

private:
  // The bytes of a folder: its clusters through the chain, or contiguous over dataLength when
  // contiguous is set; each cluster once per scan, at most maxClusters clusters.
  std::vector<std::uint8_t> readFolder(std::uint32_t firstCluster, bool contiguous,
                                       std::uint64_t maxClusters);
  // Bytes of the volume that can be read: the volume size, cut to the end of the disk.
  [[nodiscard]] std::uint64_t readableBytes() const;

  readWriteInterface &reader_;
  Progress &progress_;
  WorkerControl &control_;
  VolumeRecord volume_;
  // A window of the allocation table, so a chain costs one read per window, not per link.
  std::vector<std::uint8_t> fatCache_;
  std::uint64_t fatCacheStart_ = 0;
};

} // namespace quillon
