// Partition: finds the volumes of a disk, either by walking its partition tables (the MBR with
// its chain of extended boot records, or a GUID partition table) or by scanning every sector for
// a boot sector. Each volume found is appended to the caller's list as a VolumeRecord.
#pragma once

#include "core/byte_order.h"
#include "volumes/volume_record.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

class Progress;
class WorkerControl;
class readWriteInterface;

class Partition {
public:
  Partition(readWriteInterface &reader, Progress &progress, std::vector<VolumeRecord> &records);

  bool gptMode = false;         // walk the GUID partition table instead of the MBR
  bool skipFoundVolumes = true; // the scan continues just past each volume it lists
  std::uint64_t scanStartSector = 0, scanEndSector = 0; // 0 as the end: up to the disk's end
  WorkerControl *control = nullptr;                     // stop flag + pause; null = never stopped
  // Called for each appended record (the command line prints rows as the scan finds them).
  std::function<void(const VolumeRecord &)> onVolumeFound;

  // Walks the partition tables. Returns 0, or an errno-style code when a disk read fails; the
  // records found before the failure stay.
  int listPartitions();
  // Tests every sector from scanStartSector to the end of the disk (reader.sectorCount()).
  void scanBootSectors();

private:
  int walkMbr();
  int walkEbrChain(std::uint64_t extBase);
  int listMbrEntry(std::uint8_t type, std::uint64_t start, std::uint32_t sectorCount, bool logical);
  // Walks an entry array already bounded to the disk and to 1024 entries.
  int walkGpt(std::uint64_t entryLba, std::uint64_t entryCount, std::uint64_t entryBytes);
  // Lists one GPT entry; sets stop when the run has to end after it.
  int listGptEntry(Bytes entry, bool &stop);
  // Tests one sector of the scan; returns the sectors to skip after a listed volume.
  std::uint64_t testScanSector(Bytes sector, std::uint64_t sectorNumber, bool &listed);

  void beginRun();
  void addVolume(std::string_view fsType, std::string volumeSizeText, std::uint64_t startSector);
  [[nodiscard]] bool stopRequested() const;
  bool readSectors(std::uint64_t sector, std::span<std::uint8_t> out);

  readWriteInterface &reader_;
  Progress &progress_;
  std::vector<VolumeRecord> &records_;
  std::uint64_t diskSectors_ = 0;
  int ntfsCount_ = 0;
};

} // namespace quillon
