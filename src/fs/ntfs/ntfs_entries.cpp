// NTFS entries: parsing one MFT record into an NtfsEntry (names, parent, times, attributes,
// data size), linking the entry table into first-child / next-sibling chains, gathering what
// cannot be placed under ORPHAN_ENTRY (or, in deep mode, regrouping by disk order), and the
// texts the list shows for an entry.
#include "fs/ntfs/ntfs.h"

#include "core/progress.h"
#include "core/text_convert.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"

namespace quillon {
namespace {

// $STANDARD_INFORMATION value.
constexpr std::size_t kSiCreated = 0;
constexpr std::size_t kSiModified = 8;
constexpr std::size_t kSiAccessed = 24;
constexpr std::size_t kSiMinimum = 32;

// $FILE_NAME value.
constexpr std::size_t kFnParent = 0;
constexpr std::size_t kFnAllocatedSize = 40;
constexpr std::size_t kFnFlags = 56;
constexpr std::size_t kFnNameLength = 64;
constexpr std::size_t kFnNamespace = 65;
constexpr std::size_t kFnName = 66;

constexpr std::uint32_t kFnDirectory = 0x10000000;
constexpr std::uint8_t kDosNamespace = 2;

// Deep mode lists this many folders (after the first) directly under ORPHAN_ENTRY.
constexpr std::uint64_t kDeepTopFolders = 100000;

std::int64_t parentIndex(std::uint64_t reference) {
  std::uint64_t number = reference & ntfs_record::kReferenceMask;
  if ((number & (1ULL << 47)) != 0) {
    number |= ~ntfs_record::kReferenceMask; // a parent number with bit 47 set reads as negative
  }
  return static_cast<std::int64_t>(number);
}

std::string timeText(std::uint64_t filetime) {
  const std::optional<std::int64_t> seconds = filetimeToUnix(filetime);
  return seconds ? localDateTimeText(*seconds) : std::string();
}

} // namespace

void ntfs::parseInto(std::span<std::uint8_t> record, NtfsEntry &entry) {
  for (std::size_t i = 0; i < entry.signature.size(); ++i) {
    entry.signature[i] = static_cast<char>(u8(record, i));
  }
  if (!ntfs_record::hasFileSignature(record)) {
    return;
  }
  (void)ntfs_record::applyFixup(record);
  const Bytes bytes = record;
  entry.recordFlags = le16(bytes, ntfs_record::kRecordFlagsOffset);
  const std::uint64_t base =
      le64(bytes, ntfs_record::kBaseRecordOffset) & ntfs_record::kReferenceMask;

  bool parentTaken = false;
  bool dataTaken = false;
  int nameRank = -1; // 0: a DOS name is held, 1: a long name is held
  for (const ntfs_record::Attribute &a : ntfs_record::attributes(bytes)) {
    switch (a.type) {
    case ntfs_record::kStandardInformation:
      if (!a.nonResident && a.valueLength >= kSiMinimum) {
        entry.created = le64(bytes, a.valueOffset + kSiCreated);
        entry.modified = le64(bytes, a.valueOffset + kSiModified);
        entry.accessed = le64(bytes, a.valueOffset + kSiAccessed);
      }
      break;
    case ntfs_record::kAttributeList:
      entry.hasAttributeList = true;
      break;
    case ntfs_record::kFileName: {
      if (a.nonResident || a.valueLength < kFnName) {
        break;
      }
      const Bytes value = bytes.subspan(a.valueOffset, a.valueLength);
      const std::uint32_t flags = le32(value, kFnFlags);
      if ((flags & kFnDirectory) != 0) {
        entry.kind = 'D';
      }
      const std::size_t length = u8(value, kFnNameLength);
      if (length == 0 || kFnName + 2 * length > value.size()) {
        break;
      }
      // A DOS 8.3 name stands in only while no long name is known; otherwise the last name wins.
      const int rank = u8(value, kFnNamespace) == kDosNamespace ? 0 : 1;
      if (rank >= nameRank) {
        std::string name = utf16leToUtf8(value.subspan(kFnName, 2 * length));
        if (!name.empty()) {
          entry.name = std::move(name);
          entry.hasName = true;
          entry.nameSpace = u8(value, kFnNamespace);
          entry.size = le64(value, kFnAllocatedSize);
          entry.fileAttributes = flags;
          nameRank = rank;
        }
      }
      if (!parentTaken) {
        entry.parent = parentIndex(le64(value, kFnParent));
        parentTaken = true;
      }
      break;
    }
    case ntfs_record::kData:
      // The unnamed stream's size sits in its resident value or its first (VCN 0) extent.
      if (dataTaken || a.named() || (a.nonResident && a.firstVcn != 0)) {
        break;
      }
      entry.dataSize = a.nonResident ? a.realSize : a.valueLength;
      entry.hasData = true;
      dataTaken = true;
      break;
    default:
      break;
    }
  }
  if (base != 0) {
    extensionRecords_.emplace_back(entry.ownIndex, base);
  }
}

void ntfs::mergeExtensionRecords() {
  // When a record's attributes outgrow it, some move to extension records, found through the
  // base record's attribute list. A $FILE_NAME or the data's first extent may be among them;
  // they belong to the base record, and the extension record is no file of its own.
  const std::uint64_t n = entries.size();
  for (const auto &[index, base] : extensionRecords_) {
    if (index < 0 || static_cast<std::uint64_t>(index) >= n || base >= n ||
        base == static_cast<std::uint64_t>(index)) {
      continue;
    }
    NtfsEntry &extension = entries[static_cast<std::size_t>(index)];
    NtfsEntry &owner = entries[static_cast<std::size_t>(base)];
    if (!owner.isRecord() || !owner.hasAttributeList) {
      continue; // a stale extension of a record that was reused since
    }
    if (extension.hasName) {
      const bool longer = extension.nameSpace != kDosNamespace;
      if (!owner.hasName) {
        owner.parent = extension.parent;
      }
      if (!owner.hasName || (owner.nameSpace == kDosNamespace && longer)) {
        owner.name = std::move(extension.name);
        owner.hasName = true;
        owner.nameSpace = extension.nameSpace;
        owner.size = extension.size;
        owner.fileAttributes = extension.fileAttributes;
      }
      if (extension.isFolder()) {
        owner.kind = 'D';
      }
      extension.name.clear();
      extension.hasName = false;
    }
    if (extension.hasData && !owner.hasData) {
      owner.dataSize = extension.dataSize;
      owner.hasData = true;
    }
  }
  extensionRecords_.clear();
}

bool ntfs::parseRecord(std::uint64_t recordOffset, std::int64_t index) {
  if (index < 0 || static_cast<std::uint64_t>(index) >= entries.size()) {
    return false;
  }
  std::vector<std::uint8_t> record(recordSize);
  const bool read = reader_.readAt(recordOffset, record);
  NtfsEntry &old = entries[static_cast<std::size_t>(index)];
  NtfsEntry fresh;
  fresh.recordOffset = recordOffset;
  fresh.ownIndex = index;
  fresh.firstChild = old.firstChild;
  fresh.nextSibling = old.nextSibling;
  fresh.orphan = old.orphan;
  parseInto(record, fresh);
  old = std::move(fresh);
  return read;
}

void ntfs::linkChild(std::int64_t index) {
  const auto n = static_cast<std::int64_t>(entries.size());
  if (index <= 0 || index >= n) {
    return;
  }
  NtfsEntry &child = entries[static_cast<std::size_t>(index)];
  const std::int64_t p = child.parent;
  if (p < 0 || p >= n || p == index) {
    return;
  }
  NtfsEntry &parent = entries[static_cast<std::size_t>(p)];
  if (childTail_.size() < entries.size()) {
    childTail_.resize(entries.size(), 0);
  }
  std::int64_t &tail = childTail_[static_cast<std::size_t>(p)];
  if (parent.firstChild <= 0 || parent.firstChild >= n) {
    parent.firstChild = index;
    child.nextSibling = 0;
    tail = index;
    return;
  }
  // Start at the remembered end of the chain; the walk is bounded in case the chain loops.
  std::int64_t last = tail > 0 && tail < n && entries[static_cast<std::size_t>(tail)].parent == p
                          ? tail
                          : parent.firstChild;
  for (std::int64_t steps = 0;; ++steps) {
    if (last == index || steps >= n) {
      return; // already in the chain, or the chain never ends
    }
    const std::int64_t next = entries[static_cast<std::size_t>(last)].nextSibling;
    if (next <= 0 || next >= n || next == last) {
      break;
    }
    last = next;
  }
  entries[static_cast<std::size_t>(last)].nextSibling = index;
  child.nextSibling = 0;
  tail = index;
}

void ntfs::linkParsedEntries(std::int64_t tableSize) {
  const auto n = static_cast<std::size_t>(tableSize);
  childTail_.assign(entries.size(), 0);
  const auto root = static_cast<std::size_t>(rootIndex);
  // Index 0 cannot be a child (0 ends a chain), so entry 0 is never a usable parent either.
  auto placeable = [&](std::size_t i) { return i > 0 && i < n && i != root && entries[i].hasName; };

  // An entry goes to ORPHAN_ENTRY when its parent is not a named folder of the table, or is
  // itself.
  std::vector<std::uint8_t> orphan(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (!placeable(i)) {
      continue;
    }
    const std::int64_t p = entries[i].parent;
    const bool usable = p > 0 && static_cast<std::size_t>(p) < n &&
                        static_cast<std::size_t>(p) != i &&
                        entries[static_cast<std::size_t>(p)].hasName &&
                        entries[static_cast<std::size_t>(p)].isFolder();
    orphan[i] = usable ? 0 : 1;
  }

  // Parent chains that loop never reach the root: each loop is cut at the entry where the walk
  // meets it again, and that entry goes to ORPHAN_ENTRY with the rest of the loop below it.
  enum : std::uint8_t { kOpen = 0, kOnPath = 1, kDone = 2 };
  std::vector<std::uint8_t> state(n, kOpen);
  std::vector<std::size_t> path;
  for (std::size_t i = 0; i < n; ++i) {
    if (!placeable(i) || state[i] != kOpen) {
      continue;
    }
    path.clear();
    std::size_t j = i;
    while (true) {
      if (j == root || orphan[j] != 0 || state[j] == kDone) {
        break;
      }
      if (state[j] == kOnPath) {
        orphan[j] = 1;
        break;
      }
      state[j] = kOnPath;
      path.push_back(j);
      j = static_cast<std::size_t>(entries[j].parent);
    }
    for (const std::size_t k : path) {
      state[k] = kDone;
    }
  }

  for (std::size_t i = 0; i < n; ++i) {
    if (!placeable(i)) {
      continue;
    }
    if (orphan[i] != 0) {
      entries[i].orphan = 1;
    } else {
      linkChild(static_cast<std::int64_t>(i));
    }
  }
}

void ntfs::finishEntryTable() {
  if (runsKnown && !entriesParsed_ && !control_.stopRequested()) {
    // Entries appended without being parsed: parse them now, in table order.
    progress_.setRange(0, entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (!control_.checkpoint()) {
        break;
      }
      setParseStatus(i);
      (void)parseRecord(entries[i].recordOffset, static_cast<std::int64_t>(i));
    }
    mergeExtensionRecords();
  }
  entriesParsed_ = true;

  const auto tableSize = static_cast<std::int64_t>(entries.size());
  rootIndex = tableSize + 1; // past ORPHAN_ENTRY: no root
  for (std::int64_t i = 0; i < tableSize; ++i) {
    const NtfsEntry &e = entries[static_cast<std::size_t>(i)];
    if (e.hasName && e.name == ".") {
      rootIndex = i;
      break;
    }
  }
  if (runsKnown) {
    linkParsedEntries(tableSize);
  }

  NtfsEntry &orphans = entries.emplace_back();
  orphans.signature = {'F', 'I', 'L', 'E'};
  orphans.name = kOrphanEntryName;
  orphans.hasName = true;
  orphans.kind = 'D';
  orphans.ownIndex = tableSize;
  orphanIndex = tableSize;
  if (rootIndex < tableSize) {
    orphans.parent = rootIndex;
    orphans.recordFlags = 1;
    linkChild(orphanIndex); // the root's last child
  } else {
    rootIndex = static_cast<std::int64_t>(entries.size());
  }
  linkOrphans();
}

void ntfs::linkOrphans() {
  const auto n = static_cast<std::int64_t>(entries.size());
  progress_.setRange(0, static_cast<std::uint64_t>(n));
  if (orphanIndex <= 0 || orphanIndex >= n) {
    return;
  }
  auto at = [this](std::int64_t i) -> NtfsEntry & { return entries[static_cast<std::size_t>(i)]; };
  // Puts i at the front of folder's chain.
  auto prepend = [&](std::int64_t folder, std::int64_t i) {
    NtfsEntry &f = at(folder);
    at(i).parent = folder;
    at(i).nextSibling = f.firstChild > 0 ? f.firstChild : -1;
    f.firstChild = i;
  };

  if (mode != NtfsMode::Deep) {
    for (std::int64_t i = 1; i < n; ++i) {
      if (i != orphanIndex && at(i).orphan != 0) {
        prepend(orphanIndex, i);
      }
    }
    progress_.setPosition(static_cast<std::uint64_t>(n));
    return;
  }

  // Deep mode: parent references of scattered records mean nothing, so entries are grouped by
  // disk order: files go into the folder found last before them, folders under ORPHAN_ENTRY,
  // newest first.
  std::int64_t current = orphanIndex;
  std::uint64_t topFolders = 0;
  for (std::int64_t i = 1; i < n; ++i) {
    NtfsEntry &e = at(i);
    if (i == orphanIndex || i == rootIndex || !e.hasName) {
      continue;
    }
    e.firstChild = 0;
    e.parent = 0;
    e.nextSibling = 0;
    if (e.isFolder() && topFolders <= kDeepTopFolders) {
      prepend(orphanIndex, i);
      current = i;
      ++topFolders;
    } else {
      prepend(current, i);
    }
    if (i % 1024 == 0) {
      progress_.setPosition(static_cast<std::uint64_t>(i));
    }
  }
  progress_.setPosition(static_cast<std::uint64_t>(n));
}

std::vector<std::int64_t> ntfs::children(std::int64_t folder) const {
  std::vector<std::int64_t> out;
  const auto n = static_cast<std::int64_t>(entries.size());
  if (folder < 0 || folder >= n) {
    return out;
  }
  std::int64_t j = entries[static_cast<std::size_t>(folder)].firstChild;
  while (j > 0 && j < n && static_cast<std::int64_t>(out.size()) < n) {
    out.push_back(j);
    const std::int64_t next = entries[static_cast<std::size_t>(j)].nextSibling;
    if (next == j) {
      break;
    }
    j = next;
  }
  return out;
}

std::array<std::string, 4> ntfs::entryTexts(const NtfsEntry &entry) const {
  std::string attributes;
  const std::uint32_t flags = entry.fileAttributes;
  for (const auto &[bit, letter] : {std::pair<std::uint32_t, const char *>{0x1, "-R"},
                                    {0x2, "-H"},
                                    {0x200, "-S"},
                                    {0x20, "-A"},
                                    {0x800, "-C"},
                                    {0x4000, "-E"}}) {
    if ((flags & bit) != 0) {
      attributes += letter;
    }
  }
  return {timeText(entry.created), timeText(entry.accessed), timeText(entry.modified), attributes};
}

} // namespace quillon
