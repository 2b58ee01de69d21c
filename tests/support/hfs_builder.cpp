// Builds small HFS+ volumes for the tests, field by field from the published format.
#include "support/hfs_builder.h"

#include "core/byte_order.h"
#include "core/text_convert.h"
#include "fs/hfsplus/hfs_layout.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace quillon::test {

namespace {

using Buf = std::vector<std::uint8_t>;

constexpr std::uint32_t kRootId = 2;
constexpr std::uint16_t kFolderThread = 3;
constexpr std::uint16_t kFileThread = 4;
constexpr std::uint8_t kForeignByte = 0xEE; // fills the blocks between fragments
constexpr std::uint32_t kFolderMode = 040755;
const std::u16string kVolumeName = u"QuillonTest";
constexpr std::uint32_t kVolumeDate = hfsDate(1650000000);

std::u16string utf16(const std::string &utf8) {
  std::u16string out;
  for (const char32_t cp : utf8ToUtf32(utf8)) {
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

void put(Buf &b, std::size_t off, std::uint64_t v, std::size_t n) { putBe(b, off, v, n); }

void append(Buf &b, std::uint64_t v, std::size_t n) {
  b.resize(b.size() + n);
  putBe(b, b.size() - n, v, n);
}

struct Record {
  Buf key; // with its keyLength field
  Buf data;
  [[nodiscard]] std::size_t size() const { return key.size() + data.size(); }
};

Buf catalogKey(std::uint32_t parent, const std::u16string &name) {
  Buf k;
  append(k, 6 + 2 * name.size(), 2);
  append(k, parent, 4);
  append(k, name.size(), 2);
  for (const char16_t u : name) {
    append(k, u, 2);
  }
  return k;
}

Buf threadRecord(std::uint16_t type, std::uint32_t parent, const std::u16string &name) {
  Buf d;
  append(d, type, 2);
  append(d, 0, 2);
  append(d, parent, 4);
  append(d, name.size(), 2);
  for (const char16_t u : name) {
    append(d, u, 2);
  }
  return d;
}

void putFork(Buf &b, std::size_t off, std::uint64_t logicalSize, std::uint32_t totalBlocks,
             const std::vector<HfsExtent> &extents) {
  put(b, off, logicalSize, 8);
  put(b, off + 12, totalBlocks, 4);
  for (std::size_t i = 0; i < extents.size() && i < 8; ++i) {
    put(b, off + 16 + 8 * i, extents[i].startBlock, 4);
    put(b, off + 20 + 8 * i, extents[i].blockCount, 4);
  }
}

std::uint32_t blocksOf(const std::vector<HfsExtent> &extents) {
  std::uint32_t n = 0;
  for (const HfsExtent &e : extents) {
    n += e.blockCount;
  }
  return n;
}

// A node: descriptor, records one after another, then the offset table (with the free-space
// offset) at its end.
Buf makeNode(std::uint32_t nodeSize, std::uint32_t fLink, std::uint32_t bLink, std::int8_t kind,
             std::uint8_t height, const std::vector<Buf> &records) {
  Buf node(nodeSize, 0);
  put(node, 0, fLink, 4);
  put(node, 4, bLink, 4);
  node[8] = static_cast<std::uint8_t>(kind);
  node[9] = height;
  put(node, 10, records.size(), 2);
  std::size_t at = 14;
  for (std::size_t r = 0; r <= records.size(); ++r) {
    put(node, nodeSize - 2 * (r + 1), at, 2);
    if (r == records.size()) {
      break;
    }
    if (at + records[r].size() > nodeSize - 2 * (records.size() + 1)) {
      throw std::runtime_error("records do not fit their node");
    }
    std::copy(records[r].begin(), records[r].end(), node.begin() + static_cast<long>(at));
    at += records[r].size();
  }
  return node;
}

// Splits records into leaves: as many as fit (or perLeaf at most).
std::vector<std::vector<Buf>> packLeaves(const std::vector<Record> &records, std::uint32_t nodeSize,
                                         std::size_t perLeaf) {
  std::vector<std::vector<Buf>> leaves;
  std::size_t used = 0;
  for (const Record &r : records) {
    Buf bytes = r.key;
    bytes.insert(bytes.end(), r.data.begin(), r.data.end());
    const bool full =
        !leaves.empty() && ((perLeaf != 0 && leaves.back().size() >= perLeaf) ||
                            14 + used + bytes.size() + 2 * (leaves.back().size() + 2) > nodeSize);
    if (leaves.empty() || full) {
      leaves.emplace_back();
      used = 0;
    }
    used += bytes.size();
    leaves.back().push_back(std::move(bytes));
  }
  return leaves;
}

struct Tree {
  std::vector<Buf> nodes;
  std::vector<std::uint32_t> leaves;
  std::uint32_t staleLeaf = 0;
};

// A whole B-tree file: header node, leaves in a chain, an index node over them when there is
// more than one, a freed leaf holding the stale records, and spare free nodes.
Tree buildTree(std::uint32_t nodeSize, std::vector<Record> records, std::size_t perLeaf,
               std::vector<Record> stale, std::uint32_t spare, std::uint16_t maxKeyLength,
               std::uint32_t treeAttributes) {
  const auto byKey = [](const Record &a, const Record &b) {
    return std::lexicographical_compare(a.key.begin() + 2, a.key.end(), b.key.begin() + 2,
                                        b.key.end());
  };
  std::sort(records.begin(), records.end(), byKey);
  const std::vector<std::vector<Buf>> leafRecords = packLeaves(records, nodeSize, perLeaf);
  const auto leafCount = static_cast<std::uint32_t>(leafRecords.size());
  const bool index = leafCount > 1;
  const std::uint32_t staleNode = stale.empty() ? 0 : leafCount + (index ? 1 : 0) + 1;
  const std::uint32_t used = 1 + leafCount + (index ? 1 : 0);
  const std::uint32_t total = used + (stale.empty() ? 0 : 1) + spare;

  Tree tree;
  tree.nodes.resize(total, Buf(nodeSize, 0));
  std::vector<Buf> indexRecords;
  for (std::uint32_t i = 0; i < leafCount; ++i) {
    const std::uint32_t number = 1 + i;
    tree.nodes[number] = makeNode(nodeSize, i + 1 < leafCount ? number + 1 : 0,
                                  i > 0 ? number - 1 : 0, -1, 1, leafRecords[i]);
    tree.leaves.push_back(number);
    // The index record: the leaf's first key and its node number.
    const Buf &first = leafRecords[i].front();
    const std::size_t keySize = 2 + be16(first, 0);
    Buf rec(first.begin(), first.begin() + static_cast<long>(keySize));
    append(rec, number, 4);
    indexRecords.push_back(std::move(rec));
  }
  if (index) {
    tree.nodes[leafCount + 1] = makeNode(nodeSize, 0, 0, 0, 2, indexRecords);
  }
  if (!stale.empty()) {
    std::vector<Buf> staleBytes;
    for (const Record &r : stale) {
      Buf bytes = r.key;
      bytes.insert(bytes.end(), r.data.begin(), r.data.end());
      staleBytes.push_back(std::move(bytes));
    }
    tree.nodes[staleNode] = makeNode(nodeSize, 0, 0, -1, 1, staleBytes);
    tree.staleLeaf = staleNode;
  }

  Buf header;
  append(header, leafCount == 0 ? 0 : (index ? 2 : 1), 2);             // treeDepth
  append(header, leafCount == 0 ? 0 : (index ? leafCount + 1 : 1), 4); // rootNode
  append(header, records.size(), 4);
  append(header, leafCount == 0 ? 0 : 1, 4); // firstLeafNode
  append(header, leafCount, 4);              // lastLeafNode
  append(header, nodeSize, 2);
  append(header, maxKeyLength, 2);
  append(header, total, 4);
  append(header, total - used, 4); // freeNodes
  append(header, 0, 2);
  append(header, nodeSize, 4); // clumpSize
  append(header, 0, 1);        // btreeType
  append(header, 0xCF, 1);     // keyCompareType (case folding)
  append(header, treeAttributes, 4);
  header.resize(106, 0);
  Buf map(nodeSize - 256, 0);
  for (std::uint32_t n = 0; n < used; ++n) {
    map[n / 8] |= static_cast<std::uint8_t>(0x80 >> (n % 8));
  }
  tree.nodes[0] = makeNode(nodeSize, 0, 0, 1, 0, {header, Buf(128, 0), map});
  return tree;
}

// Writes bytes through a fork's extents.
void writeFork(Buf &image, std::uint32_t blockSize, const std::vector<HfsExtent> &extents,
               const Buf &bytes) {
  std::size_t done = 0;
  for (const HfsExtent &e : extents) {
    const std::size_t length =
        std::min<std::size_t>(std::uint64_t{e.blockCount} * blockSize, bytes.size() - done);
    std::copy_n(bytes.begin() + static_cast<long>(done), length,
                image.begin() + static_cast<long>(std::uint64_t{e.startBlock} * blockSize));
    done += length;
    if (done == bytes.size()) {
      return;
    }
  }
}

Buf zlibCompress(const Buf &data) {
  uLongf length = compressBound(static_cast<uLong>(data.size()));
  Buf out(length);
  compress2(out.data(), &length, data.data(), static_cast<uLong>(data.size()), 9);
  out.resize(length);
  return out;
}

Buf decmpfsHeader(std::uint32_t method, std::uint64_t size) {
  Buf h = {'f', 'p', 'm', 'c'};
  h.resize(16, 0);
  putLe(h, 4, method, 4);
  putLe(h, 8, size, 8);
  return h;
}

} // namespace

HfsBuilder::HfsBuilder(HfsBuildOptions options) : options_(options) {}

std::uint32_t HfsBuilder::take(std::uint32_t cnid) {
  if (cnid == 0) {
    cnid = nextId_;
  }
  nextId_ = std::max(nextId_, cnid + 1);
  return cnid;
}

std::uint32_t HfsBuilder::addFolder(std::uint32_t parent, const std::string &name,
                                    std::uint32_t cnid) {
  Item item;
  item.folder = true;
  item.parent = parent;
  item.cnid = take(cnid);
  item.name = utf16(name);
  items_.push_back(std::move(item));
  return items_.back().cnid;
}

std::uint32_t HfsBuilder::addFile(std::uint32_t parent, const std::string &name, HfsFileLayout file,
                                  std::uint32_t cnid) {
  Item item;
  item.parent = parent;
  item.cnid = take(cnid);
  item.name = utf16(name);
  item.file = std::move(file);
  items_.push_back(std::move(item));
  return items_.back().cnid;
}

std::uint32_t HfsBuilder::addDeletedFile(std::uint32_t parent, const std::string &name,
                                         HfsFileLayout file) {
  const std::uint32_t cnid = addFile(parent, name, std::move(file));
  items_.back().deleted = true;
  return cnid;
}

std::uint32_t HfsBuilder::addHardLink(std::uint32_t parent, const std::string &name,
                                      std::uint32_t inode) {
  HfsFileLayout file;
  file.fileMode = 0100444;
  const std::uint32_t cnid = addFile(parent, name, std::move(file));
  items_.back().hardLink = true;
  items_.back().inode = inode;
  return cnid;
}

std::uint32_t HfsBuilder::addCompressedFile(std::uint32_t parent, const std::string &name,
                                            std::vector<std::uint8_t> data, std::uint32_t method) {
  const std::uint32_t cnid = addFile(parent, name, HfsFileLayout());
  Item &item = items_.back();
  item.compression = method;
  item.attribute = decmpfsHeader(method, data.size());
  if (method == 3) {
    const Buf z = zlibCompress(data);
    item.attribute.insert(item.attribute.end(), z.begin(), z.end());
  } else if (method == 4) {
    // Chunks of 64 KiB after a table of (offset, size) pairs, both counted from the table.
    const std::size_t chunks = (data.size() + 65535) / 65536;
    Buf body(4 + 8 * chunks, 0);
    putLe(body, 0, chunks, 4);
    for (std::size_t i = 0; i < chunks; ++i) {
      const Buf piece(data.begin() + static_cast<long>(i * 65536),
                      data.begin() + static_cast<long>(std::min(data.size(), (i + 1) * 65536)));
      Buf stored = zlibCompress(piece);
      if (stored.size() >= piece.size()) {
        stored = {0xFF};
        stored.insert(stored.end(), piece.begin(), piece.end());
      }
      putLe(body, 4 + 8 * i, body.size(), 4);
      putLe(body, 8 + 8 * i, stored.size(), 4);
      body.insert(body.end(), stored.begin(), stored.end());
    }
    Buf fork(0x100, 0);
    put(fork, 0, 0x100, 4);                   // resource data offset
    put(fork, 4, 0x100 + 4 + body.size(), 4); // resource map offset
    put(fork, 8, 4 + body.size(), 4);         // resource data length
    put(fork, 12, 50, 4);                     // resource map length
    append(fork, body.size(), 4);
    fork.insert(fork.end(), body.begin(), body.end());
    fork.resize(fork.size() + 50, 0);
    item.resourceBytes = std::move(fork);
  }
  return cnid;
}

VolumeRecord HfsBuilder::record() const {
  const std::uint64_t bytes = std::uint64_t{layout.totalBlocks} * options_.blockSize;
  return {"HFS+", "", "0", std::to_string((bytes + (1 << 20) - 1) >> 20) + "  MB", 0};
}

std::vector<std::uint8_t> HfsBuilder::build() {
  const std::uint32_t bs = options_.blockSize;
  layout = Layout{};
  Buf image;
  std::uint32_t next = static_cast<std::uint32_t>((1536 + bs - 1) / bs); // boot blocks, header
  const auto alloc = [&](std::uint64_t blocks) {
    const std::uint32_t start = next;
    next += static_cast<std::uint32_t>(blocks);
    image.resize(std::uint64_t{next} * bs, 0);
    return start;
  };
  const auto foreign = [&] {
    const std::uint32_t b = alloc(1);
    std::fill_n(image.begin() + static_cast<long>(std::uint64_t{b} * bs), bs, kForeignByte);
  };
  // Extents of n blocks cut into up to `fragments` pieces with a foreign block between each.
  const auto allocFragments = [&](std::uint64_t blocks, std::uint32_t fragments) {
    std::vector<HfsExtent> extents;
    const std::uint64_t pieces = std::min<std::uint64_t>(std::max(fragments, 1U), blocks);
    for (std::uint64_t i = 0; i < pieces; ++i) {
      const std::uint64_t n = blocks / pieces + (i < blocks % pieces ? 1 : 0);
      extents.push_back({alloc(n), static_cast<std::uint32_t>(n)});
      if (i + 1 < pieces) {
        foreign();
      }
    }
    return extents;
  };
  const auto blocksFor = [&](std::uint64_t bytes) { return (bytes + bs - 1) / bs; };

  // Catalog records (their sizes do not depend on where the data goes).
  std::map<std::uint32_t, std::vector<HfsExtent>> resourceExtents;
  std::map<std::uint32_t, std::uint32_t> valence;
  for (const Item &item : items_) {
    ++valence[item.parent];
  }
  const auto catalogRecords = [&](bool deleted) {
    std::vector<Record> records;
    if (!deleted) {
      Buf root(88, 0);
      put(root, 0, 1, 2);
      put(root, 4, valence[kRootId], 4);
      put(root, 8, kRootId, 4);
      for (std::size_t d = 0x0C; d <= 0x18; d += 4) {
        put(root, d, kVolumeDate, 4);
      }
      put(root, 0x2A, kFolderMode, 2);
      records.push_back({catalogKey(1, kVolumeName), root});
      records.push_back({catalogKey(kRootId, u""), threadRecord(kFolderThread, 1, kVolumeName)});
    }
    for (const Item &item : items_) {
      if (item.deleted != deleted) {
        continue;
      }
      Buf rec(item.folder ? 88 : 248, 0);
      put(rec, 0, item.folder ? 1 : 2, 2);
      if (item.folder) {
        put(rec, 4, valence[item.cnid], 4);
      }
      put(rec, 8, item.cnid, 4);
      put(rec, 0x0C, item.file.createDate, 4);
      put(rec, 0x10, item.file.contentModDate, 4);
      put(rec, 0x14, item.file.attributeModDate, 4);
      put(rec, 0x18, item.file.accessDate, 4);
      put(rec, 0x2A, item.folder ? kFolderMode : item.file.fileMode, 2);
      if (!item.folder) {
        put(rec, 0x2C, item.hardLink ? item.inode : 1, 4);
        if (item.hardLink) {
          put(rec, 0x30, hfs::kHardLinkType, 4);
          put(rec, 0x34, hfs::kHardLinkCreator, 4);
          rec[0x29] = 0x02; // immutable
        }
        if (item.compression != 0) {
          rec[0x29] = hfs::kCompressedFlag;
        }
        const auto it = layout.dataExtents.find(item.cnid);
        const std::vector<HfsExtent> none;
        const std::vector<HfsExtent> &extents = it == layout.dataExtents.end() ? none : it->second;
        putFork(rec, 0x58, item.file.logicalSize.value_or(item.file.data.size()), blocksOf(extents),
                extents);
        if (const auto r = resourceExtents.find(item.cnid); r != resourceExtents.end()) {
          putFork(rec, 0xA8, item.resourceBytes.size(), blocksOf(r->second), r->second);
        }
      }
      records.push_back({catalogKey(item.parent, item.name), rec});
      records.push_back(
          {catalogKey(item.cnid, u""),
           threadRecord(item.folder ? kFolderThread : kFileThread, item.parent, item.name)});
    }
    return records;
  };
  const auto countNodes = [&](const Tree &t) { return static_cast<std::uint32_t>(t.nodes.size()); };
  // The sizes of the three trees, from trial builds.
  const Tree catalogTrial =
      buildTree(options_.catalogNodeSize, catalogRecords(false), options_.recordsPerLeaf,
                catalogRecords(true), options_.spareCatalogNodes, 516, 6);
  // Overflow records: one per eight extents past the first eight.
  std::size_t overflowRecords =
      options_.catalogFragments > 8 ? (options_.catalogFragments - 1) / 8 : 0;
  std::size_t compressed = 0;
  for (const Item &item : items_) {
    overflowRecords += item.file.fragments > 8 ? (item.file.fragments - 1) / 8 : 0;
    compressed += item.compression != 0 ? 1 : 0;
  }
  const std::uint32_t extentsNodes =
      static_cast<std::uint32_t>(2 + (overflowRecords * 78) / (options_.extentsNodeSize - 64) + 2);
  const std::uint32_t attributesNodes = static_cast<std::uint32_t>(4 + compressed);

  // Blocks: extents file, catalog (in pieces), attributes file, file data, resource forks.
  const std::vector<HfsExtent> extentsFile = {
      {alloc(blocksFor(std::uint64_t{extentsNodes} * options_.extentsNodeSize)),
       static_cast<std::uint32_t>(
           blocksFor(std::uint64_t{extentsNodes} * options_.extentsNodeSize))}};
  const std::uint64_t catalogBytes =
      std::uint64_t{countNodes(catalogTrial)} * options_.catalogNodeSize;
  layout.catalogExtents = allocFragments(blocksFor(catalogBytes), options_.catalogFragments);
  foreign();
  const std::uint64_t attributesBytes =
      std::uint64_t{attributesNodes} * options_.attributesNodeSize;
  const std::vector<HfsExtent> attributesFile = {
      {alloc(blocksFor(attributesBytes)), static_cast<std::uint32_t>(blocksFor(attributesBytes))}};
  for (const Item &item : items_) {
    if (!item.folder && !item.file.data.empty()) {
      layout.dataExtents[item.cnid] =
          allocFragments(blocksFor(item.file.data.size()), item.file.fragments);
      writeFork(image, bs, layout.dataExtents[item.cnid], item.file.data);
      foreign();
    }
    if (!item.resourceBytes.empty()) {
      const std::uint64_t n = blocksFor(item.resourceBytes.size());
      resourceExtents[item.cnid] = {{alloc(n), static_cast<std::uint32_t>(n)}};
      writeFork(image, bs, resourceExtents[item.cnid], item.resourceBytes);
    }
  }
  const std::uint32_t allocationStart = alloc(1);
  if (options_.spareBlocks != 0) {
    layout.spareOffset = std::uint64_t{alloc(options_.spareBlocks)} * bs;
  }
  const std::uint32_t totalBlocks =
      std::max(options_.minTotalBlocks, next + static_cast<std::uint32_t>(blocksFor(1024)));
  image.resize(std::uint64_t{totalBlocks} * bs, 0);
  layout.totalBlocks = totalBlocks;
  const std::uint32_t allocationBlocks = 1;
  for (std::uint32_t b = 0; b < next && b / 8 < bs; ++b) {
    image[std::uint64_t{allocationStart} * bs + b / 8] |=
        static_cast<std::uint8_t>(0x80 >> (b % 8));
  }

  // The extents overflow: the catalog's pieces past eight and every fork's.
  std::vector<Record> overflow;
  const auto addOverflow = [&](std::uint32_t fileId, std::uint8_t forkType,
                               const std::vector<HfsExtent> &extents) {
    for (std::size_t i = 8; i < extents.size(); i += 8) {
      Buf key;
      append(key, 10, 2);
      append(key, forkType, 1);
      append(key, 0, 1);
      append(key, fileId, 4);
      append(key, blocksOf({extents.begin(), extents.begin() + static_cast<long>(i)}), 4);
      Buf data(64, 0);
      for (std::size_t e = i; e < extents.size() && e < i + 8; ++e) {
        put(data, 8 * (e - i), extents[e].startBlock, 4);
        put(data, 8 * (e - i) + 4, extents[e].blockCount, 4);
      }
      overflow.push_back({key, data});
    }
  };
  addOverflow(kHfsCatalogFileId, 0, layout.catalogExtents);
  for (const auto &[cnid, extents] : layout.dataExtents) {
    addOverflow(cnid, 0, extents);
  }
  const Tree extentsTree = buildTree(options_.extentsNodeSize, overflow, 0, {}, 0, 10, 2);
  if (extentsTree.nodes.size() > extentsNodes) {
    throw std::runtime_error("the extents overflow does not fit its file");
  }
  Buf extentsBytes(std::uint64_t{extentsNodes} * options_.extentsNodeSize, 0);
  for (std::size_t n = 0; n < extentsTree.nodes.size() && n < extentsNodes; ++n) {
    std::copy(extentsTree.nodes[n].begin(), extentsTree.nodes[n].end(),
              extentsBytes.begin() + static_cast<long>(n * options_.extentsNodeSize));
  }
  // The header's node count covers the whole file.
  putBe(extentsBytes, 14 + 22, extentsNodes, 4);
  writeFork(image, bs, extentsFile, extentsBytes);
  for (std::uint32_t n = 0; n < extentsNodes; ++n) {
    layout.extentsNodes.push_back(std::uint64_t{extentsFile[0].startBlock} * bs +
                                  std::uint64_t{n} * options_.extentsNodeSize);
  }

  // The catalog, now that the data fork extents are known.
  Tree catalogTree =
      buildTree(options_.catalogNodeSize, catalogRecords(false), options_.recordsPerLeaf,
                catalogRecords(true), options_.spareCatalogNodes, 516, 6);
  Buf catalogFile;
  for (const Buf &node : catalogTree.nodes) {
    catalogFile.insert(catalogFile.end(), node.begin(), node.end());
  }
  writeFork(image, bs, layout.catalogExtents, catalogFile);
  layout.catalogLeaves = catalogTree.leaves;
  layout.staleLeaf = catalogTree.staleLeaf;
  for (std::uint64_t off = 0; off < catalogFile.size(); off += options_.catalogNodeSize) {
    // Where node off / nodeSize lies on the volume.
    std::uint64_t base = 0;
    for (const HfsExtent &e : layout.catalogExtents) {
      const std::uint64_t length = std::uint64_t{e.blockCount} * bs;
      if (off < base + length) {
        layout.catalogNodes.push_back(std::uint64_t{e.startBlock} * bs + (off - base));
        break;
      }
      base += length;
    }
  }

  // Attributes: the compression attributes.
  std::vector<Record> attrs;
  for (const Item &item : items_) {
    if (item.compression == 0) {
      continue;
    }
    static const std::u16string kName = u"com.apple.decmpfs";
    Buf key;
    append(key, 12 + 2 * kName.size(), 2);
    append(key, 0, 2);
    append(key, item.cnid, 4);
    append(key, 0, 4);
    append(key, kName.size(), 2);
    for (const char16_t u : kName) {
      append(key, u, 2);
    }
    Buf data;
    append(data, 0x10, 4);
    append(data, 0, 8);
    append(data, item.attribute.size(), 4);
    data.insert(data.end(), item.attribute.begin(), item.attribute.end());
    data.resize((data.size() + 1) & ~std::size_t{1}, 0);
    attrs.push_back({key, data});
  }
  const Tree attrTree = buildTree(options_.attributesNodeSize, attrs, 0, {}, 0, 266, 6);
  if (attrTree.nodes.size() > attributesNodes) {
    throw std::runtime_error("the attributes do not fit their file");
  }
  Buf attrBytes(attributesBytes, 0);
  for (std::size_t n = 0; n < attrTree.nodes.size() && n < attributesNodes; ++n) {
    std::copy(attrTree.nodes[n].begin(), attrTree.nodes[n].end(),
              attrBytes.begin() + static_cast<long>(n * options_.attributesNodeSize));
  }
  putBe(attrBytes, 14 + 22, attributesNodes, 4);
  writeFork(image, bs, attributesFile, attrBytes);

  // The volume header, and its copy 1024 bytes before the end.
  Buf vh(512, 0);
  vh[0] = 'H';
  vh[1] = '+';
  put(vh, 2, 4, 2);
  put(vh, 4, 0x100, 4); // cleanly unmounted
  put(vh, 8, 0x31302E30, 4);
  put(vh, 0x10, kVolumeDate, 4);
  put(vh, 0x14, kVolumeDate, 4);
  std::uint32_t files = 0;
  std::uint32_t folders = 0;
  for (const Item &item : items_) {
    if (!item.deleted) {
      (item.folder ? folders : files) += 1;
    }
  }
  put(vh, 0x20, files, 4);
  put(vh, 0x24, folders, 4);
  put(vh, 0x28, bs, 4);
  put(vh, 0x2C, totalBlocks, 4);
  put(vh, 0x30, totalBlocks - next, 4);
  put(vh, 0x40, nextId_, 4);
  putFork(vh, 0x70, std::uint64_t{allocationBlocks} * bs, allocationBlocks,
          {{allocationStart, allocationBlocks}});
  putFork(vh, 0xC0, extentsBytes.size(), blocksOf(extentsFile), extentsFile);
  putFork(vh, 0x110, catalogBytes, blocksOf(layout.catalogExtents), layout.catalogExtents);
  putFork(vh, 0x160, attributesBytes, blocksOf(attributesFile), attributesFile);
  std::copy(vh.begin(), vh.end(), image.begin() + 1024);
  std::copy(vh.begin(), vh.end(), image.end() - 1024);
  return image;
}

} // namespace quillon::test
