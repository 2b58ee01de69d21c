// Builder of small NTFS volumes in memory for the NTFS tests: a boot sector, an MFT laid along a
// (possibly fragmented) run list, records with their update-sequence arrays applied, the usual
// system records, and $STANDARD_INFORMATION, $FILE_NAME, $DATA and $ATTRIBUTE_LIST attributes.
// A volume is described first and serialised by build(), so a test changes only what it needs.
#pragma once

#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/memory_reader.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_record.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillon::test {

using NtfsRun = ntfs_record::Run;

// $FILE_NAME flag of a folder.
inline constexpr std::uint32_t kNtfsDirectoryFlag = 0x10000000;

// File-name namespaces.
inline constexpr std::uint8_t kPosixName = 0;
inline constexpr std::uint8_t kWin32Name = 1;
inline constexpr std::uint8_t kDosName = 2;
inline constexpr std::uint8_t kWin32AndDosName = 3;

// The $STANDARD_INFORMATION value (FILETIMEs).
struct NtfsTimes {
  std::uint64_t created = 0;
  std::uint64_t modified = 0;
  std::uint64_t mftChanged = 0;
  std::uint64_t accessed = 0;
  std::uint32_t fileAttributes = 0;
};

// One $FILE_NAME attribute.
struct NtfsFileName {
  std::string name;         // UTF-8; stored as UTF-16LE
  std::uint64_t parent = 5; // record number of the parent folder
  std::uint16_t parentSequence = 5;
  std::uint8_t nameSpace = kWin32AndDosName;
  std::uint32_t flags = 0x20; // file attributes; kNtfsDirectoryFlag for a folder
  std::uint64_t allocatedSize = 0;
  std::uint64_t realSize = 0;
  std::optional<std::uint8_t> lengthByte; // the stored name length when it should lie
};

// Any other attribute, resident or not; used for $DATA (type 0x80) and for a non-resident
// $ATTRIBUTE_LIST (type 0x20).
struct NtfsAttribute {
  std::uint32_t type = 0x80;
  std::string name; // stream name (UTF-8); empty for the unnamed data
  bool resident = true;
  std::vector<std::uint8_t> value;   // resident value
  std::vector<NtfsRun> runs;         // non-resident
  std::vector<std::uint8_t> rawRuns; // used as the run list when not empty
  std::uint64_t firstVcn = 0;
  std::optional<std::uint64_t> lastVcn;         // default: firstVcn + clusters of runs - 1
  std::uint64_t realSize = 0;                   // non-resident
  std::optional<std::uint64_t> allocatedSize;   // default: clusters of runs x cluster size
  std::optional<std::uint64_t> initializedSize; // default: realSize
  std::uint16_t flags = 0; // 0x0001 compressed, 0x4000 encrypted, 0x8000 sparse
  std::uint8_t compressionUnit = 0;
  std::uint16_t id = 0; // attribute id; 0 lets the encoder number attributes in order
};

// One entry of an $ATTRIBUTE_LIST.
struct NtfsListEntry {
  std::uint32_t type = 0x80;
  std::uint64_t record = 0; // record that holds the attribute
  std::uint16_t sequence = 1;
  std::uint64_t firstVcn = 0;
  std::uint16_t attributeId = 0;
  std::string name;
};

struct NtfsRecord {
  bool inUse = true;
  bool directory = false; // header flag 0x0002, which folders carry
  std::uint16_t sequence = 1;
  std::uint64_t baseRecord = 0; // extension records: the base record number
  std::optional<NtfsTimes> standardInformation = NtfsTimes{};
  std::optional<std::vector<NtfsListEntry>> attributeList; // a resident $ATTRIBUTE_LIST
  std::vector<NtfsFileName> names;
  std::vector<NtfsAttribute> attributes; // written after the names, in this order
  std::uint16_t usn = 0x0A0B;            // the update-sequence number written into sector ends
};

struct NtfsGeometry {
  std::uint64_t volumeBytes = 4 << 20;
  std::uint16_t bytesPerSector = 512;
  std::uint8_t sectorsPerCluster = 8; // raw byte 13
  std::uint32_t recordSize = 1024;
  std::optional<std::int8_t> recordSizeByte; // raw byte 64; default derived from recordSize
  std::uint64_t mftCluster = 4;
  std::uint64_t mftRecords = 64;   // size of the MFT when mftRuns is empty
  std::vector<NtfsRun> mftRuns;    // the $MFT's runs; empty: one run at mftCluster
  std::uint64_t mirrorCluster = 2; // where $MFTMirr keeps copies of records 0..3
  bool writeMirror = true;
};

class NtfsBuilder {
public:
  // Sets up the boot sector, $MFT, $MFTMirr, $LogFile, $Volume, $AttrDef, the root ".",
  // $Bitmap, $Boot, $BadClus, $Secure, $UpCase and $Extend.
  explicit NtfsBuilder(NtfsGeometry geometry = {});

  [[nodiscard]] const NtfsGeometry &geometry() const { return geometry_; }
  [[nodiscard]] std::uint64_t clusterSize() const;
  // Runs of the $MFT (the geometry's or the single default run).
  [[nodiscard]] std::vector<NtfsRun> mftRuns() const;
  // Records the MFT holds along its runs.
  [[nodiscard]] std::uint64_t mftRecordCount() const;
  // Volume byte offset of record number (through the MFT runs); nullopt inside a sparse run or
  // past the MFT's end.
  [[nodiscard]] std::optional<std::uint64_t> recordOffset(std::uint64_t number) const;

  // The record description, created empty (in use, no attributes) when absent.
  NtfsRecord &record(std::uint64_t number);
  NtfsBuilder &set(std::uint64_t number, NtfsRecord record);
  // The slot stays zero-filled.
  NtfsBuilder &remove(std::uint64_t number);

  // A folder or a file with one Win32-and-DOS name and times; a file's content is resident.
  NtfsBuilder &folder(std::uint64_t number, std::string name, std::uint64_t parent = 5,
                      bool inUse = true);
  NtfsBuilder &file(std::uint64_t number, std::string name, std::uint64_t parent = 5,
                    std::vector<std::uint8_t> content = {}, bool inUse = true);

  // Raw bytes put at a volume offset (or a cluster) after everything else, so they may also
  // damage what the builder wrote.
  NtfsBuilder &write(std::uint64_t offset, std::vector<std::uint8_t> bytes);
  NtfsBuilder &writeCluster(std::uint64_t lcn, std::vector<std::uint8_t> bytes);

  [[nodiscard]] std::vector<std::uint8_t> build() const;
  [[nodiscard]] std::unique_ptr<MemoryReader> reader() const;

  // Building blocks, also for records placed by hand (deep scans, candidates).
  [[nodiscard]] static std::vector<std::uint8_t> bootSector(const NtfsGeometry &geometry);
  [[nodiscard]] static std::vector<std::uint8_t> encodeRecord(const NtfsRecord &record,
                                                              std::uint64_t number,
                                                              std::uint32_t recordSize = 1024,
                                                              std::uint64_t clusterSize = 4096);
  [[nodiscard]] static std::vector<std::uint8_t> encodeRunList(const std::vector<NtfsRun> &runs);
  [[nodiscard]] static std::vector<std::uint8_t>
  encodeAttributeList(const std::vector<NtfsListEntry> &entries);
  // A record with one name (Win32 and DOS) and $STANDARD_INFORMATION.
  [[nodiscard]] static NtfsRecord namedRecord(std::string name, std::uint64_t parent = 5,
                                              bool folder = false);

private:
  NtfsGeometry geometry_;
  std::map<std::uint64_t, NtfsRecord> records_;
  std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> writes_;
};

// An ntfs parser over a volume image, with a recorder for its texts. The volume list's size text
// is the image's size in whole MiB unless one is given.
struct NtfsHarness {
  explicit NtfsHarness(std::vector<std::uint8_t> image, std::string sizeText = {});

  // Standard mode: boot sector, MFT runs, MFT records, tree.
  void standardScan();
  // Deep mode: boot sector, record scan, tree.
  void deepScan();
  // Table index of the first entry with that name; -1 when there is none.
  [[nodiscard]] std::int64_t find(const std::string &name) const;
  // Names along a folder's child chain.
  [[nodiscard]] std::vector<std::string> childNames(std::int64_t folder) const;
  [[nodiscard]] const NtfsEntry &entry(std::int64_t index) const {
    return parser.entries.at(static_cast<std::size_t>(index));
  }

  MemoryReader reader;
  RecordingProgress progress;
  WorkerControl control;
  ntfs parser;
};

// FILETIME of a Unix time.
[[nodiscard]] constexpr std::uint64_t filetimeOf(std::int64_t unixSeconds) {
  return static_cast<std::uint64_t>(unixSeconds + 11644473600LL) * 10000000ULL;
}

} // namespace quillon::test
