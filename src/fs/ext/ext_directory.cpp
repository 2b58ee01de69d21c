// ext2Class: directory records. Each live directory's records name the inodes below it (the
// root's children hang under ROOT); the bytes that a record's length covers beyond its name are
// searched for the records of deleted entries, which become nodes of their own, so the live
// listing is the same with or without them. A deleted folder whose inode still holds its blocks
// is read the same way, so what was deleted with it is listed below it.
#include "fs/ext/ext2.h"

#include "core/progress.h"
#include "core/text_convert.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"
#include "fs/ext/ext_layout.h"

#include <algorithm>
#include <deque>
#include <set>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

namespace quillon {

using namespace ext;

namespace {

constexpr std::uint32_t kRootInode = 2;
// Directory blocks read in one request.
constexpr std::uint64_t kDirectoryChunkBlocks = 64;
// Deleted folders nested deeper than this are listed but not read.
constexpr std::size_t kMaxDeletedDepth = 64;

// A record length as stored: 64 KiB blocks keep lengths of 65536 and above in the low two bits.
std::size_t recordLength(std::uint16_t raw, std::size_t blockBytes) {
  if (blockBytes < 65536) {
    return raw;
  }
  if (raw == 65535 || raw == 0) {
    return 65536;
  }
  return (raw & 65532U) | ((raw & 3U) << 16);
}

// Names are UTF-8 on Linux; anything else is shown as Windows-1252.
std::string nameText(Bytes raw) {
  const auto nul = std::find(raw.begin(), raw.end(), 0);
  const std::string_view bytes(reinterpret_cast<const char *>(raw.data()),
                               static_cast<std::size_t>(nul - raw.begin()));
  return isValidUtf8(bytes) ? std::string(bytes) : windows1252ToUtf8(bytes);
}

// The mode format a directory entry's file type stands for; 0 when unknown.
std::uint16_t typeMode(std::uint8_t type) {
  static constexpr std::uint16_t kModes[8] = {0,      0x8000, 0x4000, 0x2000,
                                              0x6000, 0x1000, 0xC000, 0xA000};
  return type < 8 ? kModes[type] : 0;
}

} // namespace

void ext2Class::scanSlack(Bytes block, std::size_t from, std::size_t to,
                          std::vector<DirEntry> &entries) const {
  const ExtGeometry &g = geometry;
  std::size_t p = align4(from);
  while (p + kDirRecordHeader + 4 <= to) {
    const std::uint32_t inode = le32(block, p);
    const std::size_t length = recordLength(le16(block, p + 4), block.size());
    const std::size_t nameLength = g.hasFileTypes ? u8(block, p + 6) : le16(block, p + 6);
    const std::uint8_t type = g.hasFileTypes ? u8(block, p + 7) : 0;
    const std::size_t minimal = align4(kDirRecordHeader + nameLength);
    // Some tools clear the inode number of a record they remove: its name is still shown.
    bool valid = (inode == 0 || (inode >= g.firstInode && inode <= g.inodeCount)) &&
                 nameLength >= 1 && nameLength <= kMaxNameLength &&
                 p + kDirRecordHeader + nameLength <= to && length % 4 == 0 && length >= minimal &&
                 length <= block.size() - p && (!g.hasFileTypes || (type >= 1 && type <= 7));
    if (valid) {
      const Bytes raw = block.subspan(p + kDirRecordHeader, nameLength);
      valid =
          std::none_of(raw.begin(), raw.end(), [](std::uint8_t c) { return c == 0 || c == '/'; });
      if (valid) {
        std::string name = nameText(raw);
        valid = name != "." && name != "..";
        if (valid) {
          entries.push_back(DirEntry{inode, type, std::move(name), true});
        }
      }
    }
    // A deleted record may itself cover later deleted records: go on after its name.
    p += valid ? minimal : 4;
  }
}

void ext2Class::walkDirectoryBlock(Bytes block, bool skipSlack,
                                   std::vector<DirEntry> &entries) const {
  const ExtGeometry &g = geometry;
  const std::size_t n = block.size();
  std::size_t o = 0;
  while (o + kDirRecordHeader <= n) {
    const std::uint32_t inode = le32(block, o);
    const std::size_t length = recordLength(le16(block, o + 4), n);
    const std::size_t nameLength = g.hasFileTypes ? u8(block, o + 6) : le16(block, o + 6);
    const std::uint8_t type = g.hasFileTypes ? u8(block, o + 7) : 0;
    // The end of the records, or a record that cannot be one: the rest of the block is not
    // trusted. With file types an inode beyond the count ends the block too; without them such
    // a record only names nothing.
    if (nameLength == 0 || length == 0 || nameLength > kMaxNameLength ||
        (g.hasFileTypes && inode > g.inodeCount) || o + kDirRecordHeader + nameLength > n) {
      break;
    }
    // A record whose inode was cleared is the first of its block, deleted in place.
    entries.push_back(DirEntry{
        inode, type, nameText(block.subspan(o + kDirRecordHeader, nameLength)), inode == 0});
    const std::size_t minimal = align4(kDirRecordHeader + nameLength);
    const std::size_t end = std::min(o + length, n);
    if (!skipSlack && end >= o + minimal + kDirRecordHeader + 4) {
      scanSlack(block, o + minimal, end, entries);
    }
    o += length < minimal + 4 ? minimal : length;
  }
}

std::vector<ext2Class::DirEntry> ext2Class::directoryEntries(Bytes inodeBytes, bool indexed) {
  std::vector<DirEntry> entries;
  const ExtGeometry &g = geometry;
  if ((inodeFlags(inodeBytes) & kFlagInlineData) != 0) {
    // The parent's inode number comes first; records follow it and go on in "system.data".
    const auto [head, rest] = inlineRegions(inodeBytes);
    if (head.size() > 4) {
      walkDirectoryBlock(head.subspan(4), false, entries);
    }
    walkDirectoryBlock(rest, false, entries);
    return entries;
  }
  const DataMap map = mapData(inodeBytes);
  std::vector<std::uint8_t> chunk;
  for (const Extent &e : map.extents) {
    if (e.zeros) {
      continue;
    }
    for (std::uint64_t done = 0; done < e.count;) {
      const std::uint64_t blocks = std::min(kDirectoryChunkBlocks, e.count - done);
      chunk.assign(blocks * g.blockSize, 0);
      if (!reader_.readAt((e.physical + done) * g.blockSize, chunk)) {
        done += blocks; // an unreadable block costs its entries
        continue;
      }
      for (std::uint64_t b = 0; b < blocks; ++b) {
        // Block 0 of an indexed directory holds the index root after "..": not records.
        const bool indexRoot = indexed && e.logical + done + b == 0;
        walkDirectoryBlock(Bytes(chunk).subspan(b * g.blockSize, g.blockSize), indexRoot, entries);
      }
      done += blocks;
    }
  }
  return entries;
}

std::optional<std::pair<std::int64_t, std::uint32_t>>
ext2Class::addDeletedNode(const DirEntry &entry, std::int64_t parentKey) {
  ExtNode node;
  node.key = nextDeletedKey_++;
  node.name = entry.name;
  node.named = true;
  node.parentKey = parentKey;
  node.deleted = true;
  node.entryInode = entry.inode;
  const std::uint16_t fromType = geometry.hasFileTypes ? typeMode(entry.fileType) : 0;
  node.mode = fromType;
  // The inode's data belongs to the name only while the inode is free and of the same kind.
  if (const ExtNode *target = entry.inode != 0 ? tableNode(entry.inode) : nullptr;
      target != nullptr && target->inode != 0 && !target->inUse &&
      (fromType == 0 || (target->inodeMode & kModeFormat) == fromType)) {
    node.mode = target->inodeMode;
    node.inodeMode = target->inodeMode;
    node.size = target->size;
    node.inodeTableBlock = target->inodeTableBlock;
    node.indexInGroup = target->indexInGroup;
    node.inode = target->inode;
    node.accessed = target->accessed;
    node.changed = target->changed;
    node.modified = target->modified;
  }
  if (!node.isFolder() && !node.isFile()) {
    --nextDeletedKey_;
    return std::nullopt; // neither is ever shown
  }
  const bool readableFolder = node.isFolder() && node.inode != 0;
  const std::pair<std::int64_t, std::uint32_t> folder{node.key, node.inode};
  nodeTable.push_back(std::move(node));
  if (readableFolder) {
    return folder;
  }
  return std::nullopt;
}

bool ext2Class::parseDirectories() {
  const ExtGeometry &g = geometry;
  const std::uint64_t count = inodesCovered_;
  progress_.setRange(0, count);
  // Names of inodes outside the node table (an unreadable table piece) get nodes of their own,
  // merged into the table after the pass.
  std::map<std::uint32_t, ExtNode> extra;
  const auto nameNode = [&](std::uint32_t inode, std::string name, std::int64_t parentKey,
                            std::uint8_t type) {
    if (inode == 0 || inode > g.inodeCount) {
      return;
    }
    ExtNode *node = tableNode(inode);
    if (node == nullptr) {
      const std::uint16_t mode = g.hasFileTypes ? typeMode(type) : 0;
      if (mode == 0) {
        return;
      }
      ExtNode &created = extra[inode];
      created.key = std::int64_t{inode} - 1;
      created.entryInode = inode;
      created.mode = mode;
      node = &created;
    }
    node->name = std::move(name);
    node->named = true;
    node->parentKey = parentKey;
    if (g.hasFileTypes && type == kTypeDirectory) {
      node->mode = kModeDirectory;
    } else if (g.hasFileTypes && type == kTypeRegular) {
      node->mode = kModeRegular;
    }
  };

  // Live names are gathered first and given afterwards: a folder named from more than one place
  // (a damaged volume; folders have no hard links) keeps the name its own ".." confirms.
  struct Naming {
    std::uint32_t inode;
    std::uint32_t parentInode;
    std::int64_t parentKey;
    std::string name;
    std::uint8_t type;
  };
  std::vector<Naming> namings;
  std::unordered_map<std::uint32_t, std::uint32_t> dotDot; // folder inode -> its ".." inode
  std::vector<std::pair<std::int64_t, DirEntry>> deleted;
  std::int64_t shownGroup = -1;
  for (const DirectoryInode &dir : directories_) {
    const std::int64_t group = (dir.inode - 1) / g.inodesPerGroup;
    if (group != shownGroup) {
      if (control_.stopRequested() || !control_.checkpoint()) {
        control_.clearStop();
        break;
      }
      const std::uint64_t first = static_cast<std::uint64_t>(group) * g.inodesPerGroup;
      progress_.setStatus(format("parsing inode entry %d  of %d ", static_cast<int>(first + 1),
                                 static_cast<int>(count)));
      progress_.setPosition(first + 1);
      shownGroup = group;
    }
    const Bytes raw = dir.bytes;
    // A freed directory names nothing that lives; it is read only when a deleted name leads
    // to it.
    if (!inodeInUse(raw)) {
      continue;
    }
    const std::int64_t dirKey = dir.inode == kRootInode ? kExtRootKey : std::int64_t{dir.inode} - 1;
    const bool inlineFolder = (inodeFlags(raw) & kFlagInlineData) != 0;
    if (inlineFolder && raw.size() >= kInodeBlock + 4) {
      dotDot.emplace(dir.inode, le32(raw, kInodeBlock)); // an inline folder starts with it
    }
    for (DirEntry &e : directoryEntries(raw, (inodeFlags(raw) & kFlagIndex) != 0)) {
      if (e.deleted) {
        deleted.emplace_back(dirKey, std::move(e));
      } else if (e.name == "..") {
        dotDot.emplace(dir.inode, e.inode);
      } else if (e.name == ".") {
        // The root's own node shows as "." under ROOT.
        if (dir.inode == kRootInode && e.inode == kRootInode) {
          namings.push_back({kRootInode, kRootInode, kExtRootKey, std::move(e.name), e.fileType});
        }
      } else if (e.inode != 0 && e.inode != dir.inode && e.inode != kRootInode) {
        // A folder never contains itself, and the root is nobody's child.
        namings.push_back({e.inode, dir.inode, dirKey, std::move(e.name), e.fileType});
      }
    }
  }
  // Folders with a name from the parent their ".." gives take only such names.
  std::unordered_set<std::uint32_t> confirmed;
  for (const Naming &n : namings) {
    if (const auto up = dotDot.find(n.inode); up != dotDot.end() && up->second == n.parentInode) {
      confirmed.insert(n.inode);
    }
  }
  for (Naming &n : namings) {
    if (confirmed.contains(n.inode) && dotDot.at(n.inode) != n.parentInode) {
      continue;
    }
    nameNode(n.inode, std::move(n.name), n.parentKey, n.type);
  }
  if (!extra.empty()) {
    for (auto &[inode, node] : extra) {
      nodeTable.push_back(std::move(node));
    }
    std::stable_sort(nodeTable.begin(), nodeTable.end(),
                     [](const ExtNode &a, const ExtNode &b) { return a.key < b.key; });
  }

  // Deleted names. A name that still names the same inode live (a record moved or copied by a
  // directory reorganisation, or a file moved to another folder) is not a deletion.
  std::set<std::tuple<std::int64_t, std::string, std::uint32_t>> seen;
  std::vector<std::pair<std::int64_t, std::uint32_t>> folders;
  for (auto &[parent, e] : deleted) {
    if (const ExtNode *live = e.inode != 0 ? tableNode(e.inode) : nullptr;
        live != nullptr && live->inUse && live->named && live->name == e.name) {
      continue;
    }
    if (!seen.emplace(parent, e.name, e.inode).second) {
      continue;
    }
    if (auto folder = addDeletedNode(e, parent)) {
      folders.push_back(*folder);
    }
  }
  parseDeletedFolders(std::move(folders));

  progress_.setStatus(
      format("parsed inode entry %d  of %d ", static_cast<int>(count), static_cast<int>(count)));
  progress_.setPosition(count);
  return !nodeTable.empty();
}

void ext2Class::parseDeletedFolders(std::vector<std::pair<std::int64_t, std::uint32_t>> pending) {
  struct Item {
    std::int64_t key;
    std::uint32_t inode;
    std::size_t depth;
  };
  std::deque<Item> queue;
  for (const auto &[key, inode] : pending) {
    queue.push_back(Item{key, inode, 1});
  }
  std::unordered_set<std::uint32_t> visited;
  while (!queue.empty() && !control_.stopRequested()) {
    const Item item = queue.front();
    queue.pop_front();
    if (item.depth > kMaxDeletedDepth || !visited.insert(item.inode).second) {
      continue;
    }
    const auto dir = std::lower_bound(
        directories_.begin(), directories_.end(), item.inode,
        [](const DirectoryInode &d, std::uint32_t inode) { return d.inode < inode; });
    if (dir == directories_.end() || dir->inode != item.inode) {
      continue;
    }
    std::set<std::pair<std::string, std::uint32_t>> seen;
    for (DirEntry &e : directoryEntries(dir->bytes, (inodeFlags(dir->bytes) & kFlagIndex) != 0)) {
      if (e.name == "." || e.name == ".." || e.inode == item.inode ||
          !seen.emplace(e.name, e.inode).second) {
        continue;
      }
      if (const ExtNode *live = e.inode != 0 ? tableNode(e.inode) : nullptr;
          live != nullptr && live->inUse && live->named && live->name == e.name) {
        continue;
      }
      e.deleted = true;
      if (auto folder = addDeletedNode(e, item.key)) {
        queue.push_back(Item{folder->first, folder->second, item.depth + 1});
      }
    }
  }
}

} // namespace quillon
