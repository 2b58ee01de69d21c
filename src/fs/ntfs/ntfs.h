// ntfs: the NTFS parser of one volume. It reads the boot sector, finds the MFT (through the
// boot sector, by scanning when the boot sector is damaged, or from a candidate the user
// picked), reads every MFT record into the entry table, links the entries into a folder tree
// by their parent references, and saves an entry's data with its times. Deep mode finds
// records by scanning the whole volume.
//
// Files: ntfs_boot.cpp (boot sector, MFT location, reading the MFT), ntfs_entries.cpp
// (parsing records, linking, orphans), ntfs_scan.cpp (deep and advanced scans),
// ntfs_data.cpp (data attributes, sizes, saving), lznt1.cpp (decompression).
#pragma once

#include "fs/ntfs/ntfs_record.h"
#include "volumes/volume_record.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillon {

class Progress;
class WorkerControl;
class readWriteInterface;

// One MFT record as the tree and the list need it. Everything the list shows is taken from the
// record when it is parsed, so listing never reads the record again.
struct NtfsEntry {
  std::array<char, 4> signature{}; // the record's first four bytes; "FILE" for a record
  std::uint64_t recordOffset = 0;  // byte offset of the record from the volume start
  std::string name; // UTF-8; the long name when there is one; empty without a usable $FILE_NAME
  bool hasName = false;
  std::uint8_t nameSpace = 0;    // namespace of the name held (0 POSIX, 1 Win32, 2 DOS, 3 both)
  std::int64_t parent = 0;       // table index of the parent folder (first $FILE_NAME)
  std::uint64_t size = 0;        // $FILE_NAME allocated size
  std::uint16_t recordFlags = 0; // bit 0: in use; clear: deleted
  char kind = 0;                 // 'D' for a folder
  std::int64_t ownIndex = 0;
  std::uint8_t orphan = 0;
  std::int64_t firstChild = 0;  // 0: none
  std::int64_t nextSibling = 0; // 0 or negative: end of chain

  // Taken from $STANDARD_INFORMATION and the $FILE_NAME that gave the name when the record is
  // parsed.
  std::uint64_t created = 0;        // FILETIME
  std::uint64_t modified = 0;       // FILETIME
  std::uint64_t accessed = 0;       // FILETIME
  std::uint32_t fileAttributes = 0; // $FILE_NAME flags (read-only, hidden, ...)
  std::uint64_t dataSize = 0;       // real size of the unnamed $DATA (resident: value length)
  bool hasData = false;             // an unnamed $DATA was found (in the record or an extension)
  bool hasAttributeList = false;    // the record holds an $ATTRIBUTE_LIST

  [[nodiscard]] bool isFolder() const { return kind == 'D'; }
  [[nodiscard]] bool inUse() const { return (recordFlags & 1) != 0; }
  [[nodiscard]] bool isRecord() const {
    return signature == std::array<char, 4>{'F', 'I', 'L', 'E'};
  }
};

enum class NtfsMode { Standard = 1, Advanced = 2, Deep = 3 };

class ntfs {
public:
  ntfs(readWriteInterface &reader, Progress &progress, WorkerControl &control, VolumeRecord volume);

  // --- boot sector and MFT location (ntfs_boot.cpp) ---
  bool readBootSector();
  bool locateMftRuns();
  // Runs of the first non-resident unnamed attribute of the type in the record at that offset
  // (fixup applied); also sets attributeClusterCount. Runs never reach past the volume.
  std::vector<ntfs_record::Run> getAttributeRuns(std::uint64_t recordOffset, std::uint32_t type);
  // Reads the MFT along mftRuns in large pieces and parses every record once, straight into
  // the entry table (table index == record number).
  void readMftRecords();

  // --- entry table and tree (ntfs_entries.cpp) ---
  // Reads the record at the offset and parses it into entries[index] (no linking). False when
  // the index is outside the table or the read fails.
  bool parseRecord(std::uint64_t recordOffset, std::int64_t index);
  // Links the parsed table into a tree: every named entry ends up under the root "." or under
  // ORPHAN_ENTRY (appended last), with no cycles.
  void finishEntryTable();
  void linkChild(std::int64_t index);
  void linkOrphans();
  // The child chain of a folder, in chain order; bounded by the table size.
  [[nodiscard]] std::vector<std::int64_t> children(std::int64_t folder) const;

  // --- deep and advanced scans (ntfs_scan.cpp) ---
  bool scanForMftRecords();
  std::int64_t findMftCandidates(std::int64_t maximum);
  bool selectMftCandidate(std::int64_t index);

  // --- data (ntfs_data.cpp) ---
  // Writes entry index into folder under a safe form of its name (of asName when given), with its
  // times. Returns the path written, or nullopt (and why in error) when nothing could be
  // written.
  std::optional<std::filesystem::path> saveEntryFile(std::int64_t index,
                                                     const std::filesystem::path &folder,
                                                     std::string *error = nullptr,
                                                     std::string_view asName = {});
  // Size of the entry's data as the list's size column shows it.
  [[nodiscard]] std::uint64_t dataSize(std::int64_t index);
  [[nodiscard]] std::string sizeText(std::int64_t index);
  // Creation, access and modification time texts and the attribute text.
  [[nodiscard]] std::array<std::string, 4> entryTexts(const NtfsEntry &entry) const;

  // --- state ---
  std::vector<NtfsEntry> entries;
  std::vector<NtfsEntry> candidates;
  std::vector<ntfs_record::Run> mftRuns;
  NtfsMode mode = NtfsMode::Standard;
  bool runsKnown = false;
  bool runsPending = true;
  std::int64_t orphanIndex = -1;
  std::int64_t rootIndex = -1;   // the table size or more when there is no root "."
  std::uint64_t volumeSize = 0;  // bytes
  std::uint64_t clusterSize = 0; // bytes; 4096 when unknown
  std::uint64_t recordSize = ntfs_record::kRecordSize; // 1024 or 4096
  std::uint64_t attributeClusterCount = 0; // clusters of the attribute decoded last (VCN range,
                                           // capped to what its runs describe)
  std::optional<std::array<std::uint8_t, 512>> bootSector;

  // True when the boot sector was read and carries "NTFS" at offset 3.
  [[nodiscard]] bool bootSectorValid() const;

  [[nodiscard]] readWriteInterface &reader() { return reader_; }
  [[nodiscard]] Progress &progress() { return progress_; }
  [[nodiscard]] WorkerControl &control() { return control_; }
  [[nodiscard]] const VolumeRecord &volume() const { return volume_; }

  // Reads one record at the byte offset into out (recordSize bytes) and applies the fixup;
  // false when the read fails or the bytes are not a record.
  bool readRecord(std::uint64_t recordOffset, std::vector<std::uint8_t> &out);

private:
  // Applies the fixup to record (recordSize bytes, changed in place) and fills entry from it:
  // signature, flags, names, parent, kind, times, attributes and data size.
  void parseInto(std::span<std::uint8_t> record, NtfsEntry &entry);
  // Runs of the first non-resident unnamed attribute of the type in a fixed-up record.
  std::vector<ntfs_record::Run> runsFromRecord(Bytes record, std::uint32_t type);
  // Bytes of the volume that can be read: the volume size, cut to the end of the disk.
  [[nodiscard]] std::uint64_t readableBytes() const;
  // Sizes that the boot sector gives when it is sane (else 4096 and 1024).
  [[nodiscard]] std::uint64_t bootClusterSize() const;
  [[nodiscard]] std::uint64_t bootRecordSize(std::uint64_t cluster) const;
  // Record size from a record header (1024 or 4096), else the current record size.
  [[nodiscard]] std::uint64_t headerRecordSize(Bytes record) const;
  // The scans: copies into record the record that starts at offset inside the chunk read from
  // the volume at chunkPosition (the chunk's first length bytes are valid); a record that runs
  // past the chunk is read whole from the volume.
  void recordFromChunk(Bytes chunk, std::uint64_t length, std::uint64_t chunkPosition,
                       std::uint64_t offset, std::vector<std::uint8_t> &record);
  // Cluster size that a $MFT record found at recordOffset implies: its allocated size over its
  // VCN range, else the size that puts its first run at that offset.
  [[nodiscard]] std::optional<std::uint64_t> clusterSizeFromMft(std::uint64_t recordOffset,
                                                                Bytes record) const;
  // Gives base records the names and data sizes found in their extension records.
  void mergeExtensionRecords();
  // Deep mode: a name found in an extension record at extensionOffset belongs to its base
  // record, which lies as many records away in the same MFT. Turns entry into the base's entry
  // when the base has no name of its own; false when the base lists the file itself.
  bool resolveExtension(NtfsEntry &entry, Bytes record, std::uint64_t extensionOffset);
  void linkParsedEntries(std::int64_t tableSize);
  void setParseStatus(std::uint64_t index);

  readWriteInterface &reader_;
  Progress &progress_;
  WorkerControl &control_;
  VolumeRecord volume_;
  bool entriesParsed_ = false;          // the table was parsed while it was read
  std::vector<std::int64_t> childTail_; // last child of each folder's chain (0: unknown)
  // (table index, base record number) of every extension record parsed.
  std::vector<std::pair<std::int64_t, std::uint64_t>> extensionRecords_;
};

// Name of the folder that gathers entries whose parent is unknown.
inline constexpr char kOrphanEntryName[] = "ORPHAN_ENTRY";

} // namespace quillon
