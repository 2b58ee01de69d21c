// myJpg: the carving engine. It walks a volume sector by sector looking for the start and end
// signatures loaded from signature files, decides where each find begins and how long it is,
// and lists the finds in an ItemTree under "RAW RECOVERY ", one folder per category. Each find
// is kept as a CarvingResult; the engine writes no files (find_writer.h does).
//
// What the engine does with a matched sector, rule R being the matched signature's rule:
// - a start, R has an end signature: the start is pushed on R's stack of open starts;
// - a start, R has neither an end signature nor a size field (approximate-size rule): a find of
//   R's approximate size; the scan then skips R's skip size (whole sectors) when it is above 512;
// - a start, R has a 4-byte size field (header-size rule): the size is read from the sector;
//   when it is from 1 to R's approximate size, the find has the file's size (the field, plus
//   the header size when the field leaves the header out) and the scan continues at the first
//   sector after the file;
// - an end: the most recent open start of R is closed; the find runs from that start to the end
//   of the end signature, capped by R's approximate size when that is above 0.
// Finds are named "%lld ." plus the extension after the offset of the sector being examined: a
// find closed by an end signature carries the offset of the sector holding the end signature.
//
// Starts still open when the scan ends (or stops) are closed rule by rule in ascending id, most
// recent start first, each named by its own offset: a start is sized by R's approximate size,
// cut where the next open start of the same rule begins, so consecutive unclosed files do not
// overlap; a size of 0 gives no find.
//
// What one run may hold is bounded (maxOpenStarts, maxFinds), since every sector of a volume
// could match.
#pragma once

#include "carving/signature_record.h"
#include "carving/volume_bytes.h"
#include "core/item_tree.h"

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quillon {

class Progress;
class WorkerControl;

// Text of the top tree item of a carving run (with its trailing blank).
inline constexpr char kRawRecoveryItemText[] = "RAW RECOVERY ";
inline constexpr char kNotInitializedText[] = "not properly initialized";
inline constexpr char kCarveDoneText[] = "done..";

// One loaded record's signatures.
struct SignatureEntry {
  std::u16string extension;
  std::uint8_t extensionLength = 0;
  std::array<std::uint8_t, kMaxSignatureBytes> startSignature{};
  std::array<std::uint8_t, kMaxSignatureBytes> endSignature{};
  std::uint8_t startLength = 0;
  std::uint8_t endLength = 0;
  std::uint32_t id = 0; // wider than a byte: a default and a chosen file may hold 512 rules
  std::int32_t startOffset = 0;
};

// One loaded record's sizing rule; its position in myJpg::rules is its id.
struct CarvingRule {
  std::uint8_t startLength = 0;
  std::uint8_t endLength = 0;
  std::string extension;          // UTF-8, at most four characters
  std::int32_t offsetToSize = -1; // -1: none
  std::int32_t bytesInSize = 0;
  std::int32_t headerSize = 0;
  bool sizeIncludesHeader = false;
  std::int64_t approxSize = 0;
  std::int64_t skipSize = 0;
  std::string category; // UTF-8
  ItemHandle categoryItem = kNoItem;
};

// One find: where it starts on the volume and how many bytes it has (not yet cut at the end of
// the volume), and the rule that found it.
struct CarvingResult {
  std::uint64_t start = 0;
  std::uint64_t size = 0;
  std::uint32_t rule = 0;
};

// One entry of the match table: start signatures first, then end signatures.
struct MatchEntry {
  std::uint8_t length = 0;
  std::uint32_t id = 0;
  std::int32_t offset = 0; // where the pattern lies in the sector
  std::array<std::uint8_t, kMaxSignatureBytes> pattern{};
};

struct SectorMatch {
  char kind = 'S'; // 'S' start, 'E' end
  std::uint32_t id = 0;
  friend bool operator==(const SectorMatch &, const SectorMatch &) = default;
};

class myJpg {
public:
  static constexpr std::uint64_t step = 512;
  static constexpr std::uint64_t chunkSize = 1'048'576;

  // Adds one record as a SignatureEntry and a CarvingRule with the next id. The caller has
  // checked it with ruleProblem.
  void addSignature(const SignatureRecord &record);

  // Builds the match table (two entries per rule) and one stack of open starts per rule.
  // Fails only when there are no rules or the table cannot be allocated.
  bool buildMatchTable();

  // The first table entry that matches the 512-byte sector, starts before ends: every pattern
  // byte equals the sector byte at the entry's offset plus its position, or is the wildcard. A
  // pattern shorter than two bytes never matches. Needs buildMatchTable.
  [[nodiscard]] std::optional<SectorMatch> matchSector(std::span<const std::uint8_t> sector) const;

  // The run: scans volumeSize bytes of volume, adding finds to results and items to tree. Posts
  // the progress range and position per 1 MiB chunk, pauses and stops at control, and ends with
  // the message "done.." (also after a stop).
  void carve(ItemTree &tree, VolumeBytes &volume, Progress &progress, WorkerControl &control);

  // Text of a find's tree item.
  [[nodiscard]] std::string findName(std::uint64_t offset, std::uint32_t rule) const;

  std::vector<SignatureEntry> signatureEntries;
  std::vector<CarvingRule> rules;
  std::vector<MatchEntry> matchTable;
  std::vector<std::deque<std::uint64_t>> pendingStarts;
  std::map<std::string, std::int64_t> categories;
  std::vector<CarvingResult> results;
  std::uint64_t volumeSize = 0; // bytes
  // The top item of the last run, or kNoItem.
  ItemHandle topItem = kNoItem;
  // Read requests of the last run that reported a failure (their bytes were scanned as zeros).
  std::uint64_t failedReads = 0;
  // Read the next piece of the volume on a helper thread while this one is scanned.
  bool readAhead = true;
  // Bounds on what a damaged or hostile volume can make the engine hold. A rule with more open
  // starts closes its oldest at once, as the end of the scan would; a run that reaches maxFinds
  // stops with a message.
  std::size_t maxOpenStarts = 1'000'000;
  std::size_t maxFinds = 10'000'000;

private:
  // For each sector position that some pattern pins down, the table entries whose first
  // non-wildcard byte lies there, bucketed by that byte's value; entries are kept in table
  // order, so the first full match in a bucket is the best that bucket offers.
  struct Probe {
    std::uint32_t position = 0;
    std::array<std::uint32_t, 257> begin{}; // bucket b is entries[begin[b], begin[b + 1])
    std::vector<std::uint32_t> entries;
  };

  [[nodiscard]] bool entryMatches(std::uint32_t entry, std::span<const std::uint8_t> sector) const;
  void setUpTree(ItemTree &tree);
  // Acts on a matched sector at offset a; returns how far the scan advances.
  std::uint64_t act(const SectorMatch &match, std::uint64_t a, std::span<const std::uint8_t> sector,
                    ItemTree &tree);
  void addFind(std::uint64_t start, std::uint64_t size, std::uint32_t rule,
               std::uint64_t nameOffset, ItemTree &tree);
  void closeOpenStarts(ItemTree &tree);
  // Closes the oldest open start of rule id as the end of the scan would.
  void closeOldestStart(std::uint32_t id, ItemTree &tree);

  std::vector<Probe> probes_;
  std::vector<std::uint32_t> wildcardEntries_; // patterns of wildcards only: tried on every sector
};

} // namespace quillon
