// ExtBuilder: in-memory ext2/ext4 volumes for the ext parser tests.
#include "support/ext_builder.h"

#include "core/byte_order.h"

#include <algorithm>
#include <stdexcept>

namespace quillon::test {

namespace {

constexpr std::size_t kInodeBlockOffset = 0x28;

std::size_t nameBytes(const ExtRecord &r) { return (8 + r.name.size() + 3) & ~std::size_t{3}; }

void putExtentEntries(std::span<std::uint8_t> node, std::uint16_t depth,
                      const std::vector<ExtExtent> &entries) {
  putLe(node, 0, 0xF30A, 2);
  putLe(node, 2, entries.size(), 2);
  putLe(node, 4, (node.size() - 12) / 12, 2);
  putLe(node, 6, depth, 2);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t at = 12 + 12 * i;
    const ExtExtent &e = entries[i];
    putLe(node, at, e.logical, 4);
    if (depth == 0) {
      putLe(node, at + 4, e.length + (e.uninitialised ? 32768U : 0U), 2);
      putLe(node, at + 6, e.start >> 32, 2);
      putLe(node, at + 8, e.start & 0xFFFFFFFFU, 4);
    } else {
      putLe(node, at + 4, e.start & 0xFFFFFFFFU, 4);
      putLe(node, at + 8, e.start >> 32, 2);
    }
  }
}

} // namespace

std::array<std::uint8_t, 60> extBlockMap(const std::vector<std::uint32_t> &direct,
                                         std::uint32_t single, std::uint32_t dbl,
                                         std::uint32_t triple) {
  std::array<std::uint8_t, 60> b{};
  for (std::size_t i = 0; i < direct.size() && i < 12; ++i) {
    putLe(b, 4 * i, direct[i], 4);
  }
  putLe(b, 48, single, 4);
  putLe(b, 52, dbl, 4);
  putLe(b, 56, triple, 4);
  return b;
}

std::array<std::uint8_t, 60> extExtentRoot(std::uint16_t depth,
                                           const std::vector<ExtExtent> &entries) {
  std::array<std::uint8_t, 60> b{};
  putExtentEntries(b, depth, entries);
  return b;
}

void extSetInline(ExtInode &inode, const std::vector<std::uint8_t> &data) {
  inode.flags |= 0x10000000;
  inode.size = data.size();
  inode.block = {};
  std::copy_n(data.begin(), std::min<std::size_t>(60, data.size()), inode.block.begin());
  const std::size_t rest = data.size() > 60 ? data.size() - 60 : 0;
  // Extra size 32, then the attribute header, one "system.data" entry, the end mark and the
  // value.
  inode.tail.assign(60 + rest, 0);
  putLe(inode.tail, 0, 32, 2);
  putLe(inode.tail, 32, 0xEA020000, 4);
  inode.tail[36] = 4;             // name length
  inode.tail[37] = 7;             // the "system." names
  putLe(inode.tail, 38, 24, 2);   // value offset from the first entry
  putLe(inode.tail, 44, rest, 4); // value size
  std::copy_n("data", 4, inode.tail.begin() + 52);
  std::copy(data.begin() + static_cast<std::ptrdiff_t>(data.size() - rest), data.end(),
            inode.tail.begin() + 60);
}

SparseDisk::SparseDisk(std::map<std::uint64_t, std::vector<std::uint8_t>> pieces,
                       std::uint64_t bytes)
    : pieces_(std::move(pieces)), bytes_(bytes) {
  imageSize = bytes;
}

readWriteInterface::Run SparseDisk::mapRun(std::uint64_t abs, std::uint64_t maxLength) {
  Run run;
  auto next = pieces_.upper_bound(abs);
  if (next != pieces_.begin()) {
    const auto piece = std::prev(next);
    if (abs < piece->first + piece->second.size()) {
      run.kind = Run::Kind::Memory;
      run.memory = piece->second.data() + (abs - piece->first);
      run.length = std::min<std::uint64_t>(maxLength, piece->first + piece->second.size() - abs);
      return run;
    }
  }
  const std::uint64_t end = next == pieces_.end() ? bytes_ : next->first;
  run.length = std::min<std::uint64_t>(maxLength, end - abs);
  return run;
}

ExtBuilder::ExtBuilder(ExtOptions options) : options_(options) {
  firstDataBlock_ = options_.blockSize == 1024 ? 1 : 0;
  groupCount_ = static_cast<std::uint32_t>(
      (options_.blocksCount - firstDataBlock_ + options_.blocksPerGroup - 1) /
      options_.blocksPerGroup);
  const std::uint32_t descriptorSize = options_.bit64 ? 64 : 32;
  const std::uint64_t gdtBlocks =
      (std::uint64_t{groupCount_} * descriptorSize + options_.blockSize - 1) / options_.blockSize;
  for (std::uint64_t b = 0; b <= firstDataBlock_ + gdtBlocks; ++b) {
    reserved_.insert(b);
  }
  nextFree_ = firstDataBlock_ + 1 + gdtBlocks;
}

std::uint64_t ExtBuilder::groupStart(std::uint32_t group) const {
  return firstDataBlock_ + std::uint64_t{group} * options_.blocksPerGroup;
}

std::uint64_t ExtBuilder::allocate(std::uint64_t count) {
  for (;;) {
    bool clear = true;
    for (std::uint64_t b = nextFree_; b < nextFree_ + count; ++b) {
      if (reserved_.contains(b)) {
        nextFree_ = b + 1;
        clear = false;
        break;
      }
    }
    if (clear) {
      break;
    }
  }
  const std::uint64_t first = nextFree_;
  nextFree_ += count;
  if (nextFree_ > options_.blocksCount) {
    throw std::runtime_error("ExtBuilder: volume full");
  }
  for (std::uint64_t b = first; b < first + count; ++b) {
    reserved_.insert(b);
    setInUse(b, true);
  }
  return first;
}

std::vector<std::uint8_t> &ExtBuilder::block(std::uint64_t number) {
  auto &b = blocks_[number];
  b.resize(options_.blockSize, 0);
  return b;
}

void ExtBuilder::write(std::uint64_t first, const std::vector<std::uint8_t> &bytes) {
  for (std::size_t done = 0; done < bytes.size(); done += options_.blockSize) {
    auto &b = block(first + done / options_.blockSize);
    const std::size_t n = std::min<std::size_t>(options_.blockSize, bytes.size() - done);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(done), n, b.begin());
  }
}

void ExtBuilder::setInUse(std::uint64_t number, bool used) {
  if (number < firstDataBlock_) {
    return;
  }
  const auto group =
      static_cast<std::uint32_t>((number - firstDataBlock_) / options_.blocksPerGroup);
  auto found = bitmaps_.find(group);
  if (found == bitmaps_.end()) {
    std::uint64_t at = nextFree_;
    while (reserved_.contains(at)) {
      ++at;
    }
    reserved_.insert(at);
    if (at == nextFree_) {
      ++nextFree_;
    }
    found = bitmaps_.emplace(group, at).first;
    block(at);
    setInUse(at, true);
  }
  const std::uint64_t bit = (number - firstDataBlock_) % options_.blocksPerGroup;
  auto &bitmap = block(found->second);
  if (used) {
    bitmap[bit / 8] = static_cast<std::uint8_t>(bitmap[bit / 8] | (1U << (bit % 8)));
  } else {
    bitmap[bit / 8] = static_cast<std::uint8_t>(bitmap[bit / 8] & ~(1U << (bit % 8)));
  }
}

void ExtBuilder::setInodeTable(std::uint32_t group, std::uint64_t first) {
  inodeTables_[group] = first;
}

void ExtBuilder::writeInode(std::uint32_t number, const ExtInode &inode) {
  const std::uint32_t group = (number - 1) / options_.inodesPerGroup;
  const std::uint64_t tableBytes = std::uint64_t{options_.inodesPerGroup} * options_.inodeSize;
  auto table = inodeTables_.find(group);
  if (table == inodeTables_.end()) {
    table =
        inodeTables_
            .emplace(group, allocate((tableBytes + options_.blockSize - 1) / options_.blockSize))
            .first;
  }
  std::vector<std::uint8_t> raw(options_.inodeSize, 0);
  putLe(raw, 0x00, inode.mode, 2);
  putLe(raw, 0x04, inode.size & 0xFFFFFFFFU, 4);
  putLe(raw, 0x08, inode.atime, 4);
  putLe(raw, 0x0C, inode.ctime, 4);
  putLe(raw, 0x10, inode.mtime, 4);
  putLe(raw, 0x14, inode.dtime, 4);
  putLe(raw, 0x1A, inode.links, 2);
  putLe(raw, 0x20, inode.flags, 4);
  std::copy(inode.block.begin(), inode.block.end(), raw.begin() + kInodeBlockOffset);
  putLe(raw, 0x6C, inode.size >> 32, 4);
  if (!inode.tail.empty()) {
    std::copy_n(inode.tail.begin(), std::min<std::size_t>(inode.tail.size(), raw.size() - 128),
                raw.begin() + 128);
  } else if (options_.inodeSize > 128) {
    putLe(raw, 0x80, 32, 2);
  }
  const std::uint64_t at =
      std::uint64_t{(number - 1) % options_.inodesPerGroup} * options_.inodeSize;
  auto &b = block(table->second + at / options_.blockSize);
  std::copy(raw.begin(), raw.end(),
            b.begin() + static_cast<std::ptrdiff_t>(at % options_.blockSize));
}

void ExtBuilder::writePointers(std::uint64_t number,
                               const std::map<std::uint32_t, std::uint32_t> &pointers) {
  auto &b = block(number);
  for (const auto &[index, pointer] : pointers) {
    putLe(b, 4 * std::size_t{index}, pointer, 4);
  }
}

void ExtBuilder::writeExtentNode(std::uint64_t number, std::uint16_t depth,
                                 const std::vector<ExtExtent> &entries) {
  putExtentEntries(block(number), depth, entries);
}

std::vector<std::uint8_t> ExtBuilder::dirBlock(const std::vector<ExtRecord> &records,
                                               std::size_t bytes) const {
  if (bytes == 0) {
    bytes = options_.blockSize;
  }
  std::vector<std::size_t> offsets;
  std::size_t o = 0;
  for (const ExtRecord &r : records) {
    offsets.push_back(o);
    o += nameBytes(r);
  }
  std::vector<std::uint8_t> out(bytes, 0);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const ExtRecord &r = records[i];
    // A live record reaches the next live record (covering deleted ones); a deleted record
    // reaches the next record of any kind.
    std::size_t end = bytes;
    for (std::size_t j = i + 1; j < records.size(); ++j) {
      if (r.deleted || !records[j].deleted) {
        end = offsets[j];
        break;
      }
    }
    const std::size_t length = end - offsets[i];
    const std::size_t at = offsets[i];
    putLe(out, at, r.inode, 4);
    putLe(out, at + 4, length == 65536 ? 65535 : length, 2);
    if (options_.fileTypes) {
      out[at + 6] = static_cast<std::uint8_t>(r.name.size());
      out[at + 7] = r.type;
    } else {
      putLe(out, at + 6, r.name.size(), 2);
    }
    std::copy(r.name.begin(), r.name.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 8));
  }
  return out;
}

void ExtBuilder::addFolder(std::uint32_t number, std::uint32_t parent,
                           const std::vector<ExtRecord> &records, ExtInode inode) {
  std::vector<ExtRecord> all{{number, ".", 2}, {parent, "..", 2}};
  all.insert(all.end(), records.begin(), records.end());
  const std::uint64_t b = allocate();
  write(b, dirBlock(all));
  if (inode.mode == kExtFileMode) {
    inode.mode = kExtDirMode;
  }
  if (inode.links == 1) {
    inode.links = 2;
  }
  inode.size = options_.blockSize;
  inode.block = extBlockMap({static_cast<std::uint32_t>(b)});
  writeInode(number, inode);
}

std::uint64_t ExtBuilder::addFile(std::uint32_t number, const std::vector<std::uint8_t> &data,
                                  ExtInode inode) {
  const std::uint64_t blocks = (data.size() + options_.blockSize - 1) / options_.blockSize;
  if (blocks > 12) {
    throw std::runtime_error("ExtBuilder::addFile: at most twelve blocks");
  }
  std::vector<std::uint32_t> direct;
  std::uint64_t first = 0;
  if (blocks != 0) {
    first = allocate(blocks);
    write(first, data);
    for (std::uint64_t b = 0; b < blocks; ++b) {
      direct.push_back(static_cast<std::uint32_t>(first + b));
    }
  }
  inode.size = data.size();
  inode.block = extBlockMap(direct);
  writeInode(number, inode);
  return first;
}

void ExtBuilder::setSuperblockField(std::size_t offset, std::uint64_t value, std::size_t width) {
  superblockFields_.push_back({offset, {value, width}});
}

std::map<std::uint64_t, std::vector<std::uint8_t>> ExtBuilder::finalBlocks() const {
  auto blocks = blocks_;
  const std::uint32_t bs = options_.blockSize;
  auto blockOf = [&](std::uint64_t n) -> std::vector<std::uint8_t> & {
    auto &b = blocks[n];
    b.resize(bs, 0);
    return b;
  };
  // Superblock.
  std::vector<std::uint8_t> sb(1024, 0);
  std::uint32_t logBlock = 0;
  while ((1024U << logBlock) < bs) {
    ++logBlock;
  }
  putLe(sb, 0x00, inodeCount(), 4);
  putLe(sb, 0x04, options_.blocksCount & 0xFFFFFFFFU, 4);
  putLe(sb, 0x14, firstDataBlock_, 4);
  putLe(sb, 0x18, logBlock, 4);
  putLe(sb, 0x1C, logBlock, 4);
  putLe(sb, 0x20, options_.blocksPerGroup, 4);
  putLe(sb, 0x24, options_.blocksPerGroup, 4);
  putLe(sb, 0x28, options_.inodesPerGroup, 4);
  putLe(sb, 0x38, 0xEF53, 2);
  putLe(sb, 0x4C, 1, 4);
  putLe(sb, 0x54, 11, 4);
  putLe(sb, 0x58, options_.inodeSize, 2);
  putLe(sb, 0x60, (options_.fileTypes ? 0x2U : 0U) | (options_.bit64 ? 0x80U : 0U), 4);
  if (options_.bit64) {
    putLe(sb, 0xFE, 64, 2);
    putLe(sb, 0x150, options_.blocksCount >> 32, 4);
  }
  for (const auto &[offset, field] : superblockFields_) {
    putLe(sb, offset, field.first, field.second);
  }
  if (bs == 1024) {
    std::copy(sb.begin(), sb.end(), blockOf(1).begin());
  } else {
    std::copy(sb.begin(), sb.end(), blockOf(0).begin() + 1024);
  }
  // Group descriptors of the groups that have a table or a bitmap.
  const std::uint32_t ds = options_.bit64 ? 64 : 32;
  std::set<std::uint32_t> described;
  for (const auto &[g, b] : inodeTables_) {
    described.insert(g);
  }
  for (const auto &[g, b] : bitmaps_) {
    described.insert(g);
  }
  for (const std::uint32_t g : described) {
    const std::uint64_t at = std::uint64_t{g} * ds;
    auto &blk = blockOf(firstDataBlock_ + 1 + at / bs);
    const std::span<std::uint8_t> d = std::span(blk).subspan(at % bs, ds);
    if (const auto t = inodeTables_.find(g); t != inodeTables_.end()) {
      putLe(d, 0x08, t->second & 0xFFFFFFFFU, 4);
      if (ds == 64) {
        putLe(d, 0x28, t->second >> 32, 4);
      }
    }
    if (const auto m = bitmaps_.find(g); m != bitmaps_.end()) {
      putLe(d, 0x00, m->second & 0xFFFFFFFFU, 4);
      if (ds == 64) {
        putLe(d, 0x20, m->second >> 32, 4);
      }
    }
  }
  return blocks;
}

std::vector<std::uint8_t> ExtBuilder::image() const {
  const std::uint64_t bytes = options_.blocksCount * options_.blockSize;
  if (bytes > (std::uint64_t{256} << 20)) {
    throw std::runtime_error("ExtBuilder::image: too large to hold; use sparseDisk()");
  }
  std::vector<std::uint8_t> out(bytes, 0);
  for (const auto &[n, b] : finalBlocks()) {
    if ((n + 1) * options_.blockSize <= bytes) {
      std::copy(b.begin(), b.end(),
                out.begin() + static_cast<std::ptrdiff_t>(n * options_.blockSize));
    }
  }
  return out;
}

std::unique_ptr<SparseDisk> ExtBuilder::sparseDisk() const {
  std::map<std::uint64_t, std::vector<std::uint8_t>> pieces;
  for (auto &[n, b] : finalBlocks()) {
    pieces.emplace(n * options_.blockSize, b);
  }
  return std::make_unique<SparseDisk>(std::move(pieces), options_.blocksCount * options_.blockSize);
}

VolumeRecord ExtBuilder::record() const {
  const std::uint64_t mib =
      std::max<std::uint64_t>(1, (options_.blocksCount * options_.blockSize) >> 20);
  return {"extX", "", "0", std::to_string(mib) + "   MB", 0};
}

} // namespace quillon::test
