// ext2Class: the list texts of a node (times, permission text, size) and saving its data with
// its times. Holes and uninitialised extents become zeros (holes in the saved file), so every
// byte lands at its offset. A deleted file's blocks that the block bitmap gives to another file
// now are written as zeros rather than as that file's data.
#include "fs/ext/ext2.h"

#include "core/output_files.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"
#include "fs/ext/ext_layout.h"

#include <algorithm>

namespace quillon {

using namespace ext;

namespace {

// Data read in one request while saving.
constexpr std::uint64_t kSaveChunk = 1 << 20;
// Block bitmaps kept at once.
constexpr std::size_t kMaxCachedBitmaps = 256;

FileTime fileTime(const ExtTime &t) { return FileTime{t.seconds, t.nanoseconds}; }

} // namespace

std::array<std::string, 4> ext2Class::describeNode(const ExtNode &node) const {
  std::array<std::string, 4> texts;
  if (node.inode != 0) {
    texts[0] = localDateTimeText(node.changed.seconds);
    texts[1] = localDateTimeText(node.accessed.seconds);
    texts[2] = localDateTimeText(node.modified.seconds);
  }
  texts[3] = permissionText(node);
  return texts;
}

std::string ext2Class::permissionText(const ExtNode &node) {
  static constexpr std::pair<std::uint16_t, const char *> kBits[] = {
      {0x001, "-OE"}, {0x002, "-OW"}, {0x004, "-OR"}, {0x008, "-GE"}, {0x010, "-GW"},
      {0x020, "-GR"}, {0x040, "-UE"}, {0x080, "-UW"}, {0x100, "-UR"}};
  std::string text;
  for (const auto &[bit, piece] : kBits) {
    if ((node.inodeMode & bit) != 0) {
      text += piece;
    }
  }
  return text;
}

std::string ext2Class::sizeText(const ExtNode &node) const { return quillon::sizeText(node.size); }

std::pair<std::optional<FileTime>, std::optional<FileTime>>
ext2Class::nodeFileTimes(const ExtNode &node) const {
  if (node.inode == 0) {
    return {std::nullopt, std::nullopt};
  }
  return {fileTime(node.accessed), fileTime(node.modified)};
}

std::uint64_t ext2Class::dataSize(const ExtNode &node) const {
  return node.isFile() && node.inode != 0 ? node.size : 0;
}

bool ext2Class::blockInUse(std::uint64_t block) {
  const ExtGeometry &g = geometry;
  if (block < g.firstDataBlock || g.blocksPerGroup == 0) {
    return false;
  }
  const std::uint64_t group = (block - g.firstDataBlock) / g.blocksPerGroup;
  if (group >= groups.size()) {
    return false;
  }
  const ExtGroup &d = groups[group];
  if ((g.hasGroupChecksums() && (d.flags & kBgBlockUninit) != 0) || !g.validBlock(d.blockBitmap)) {
    return false; // a bitmap never written (or not readable) marks nothing
  }
  auto found = bitmaps_.find(static_cast<std::uint32_t>(group));
  if (found == bitmaps_.end()) {
    if (bitmaps_.size() >= kMaxCachedBitmaps) {
      bitmaps_.clear();
    }
    std::vector<std::uint8_t> bitmap(g.blockSize, 0);
    (void)reader_.readAt(d.blockBitmap * g.blockSize, bitmap);
    found = bitmaps_.emplace(static_cast<std::uint32_t>(group), std::move(bitmap)).first;
  }
  const std::uint64_t bit = ((block - g.firstDataBlock) % g.blocksPerGroup) / g.clusterRatio;
  return bit / 8 < found->second.size() && ((found->second[bit / 8] >> (bit % 8)) & 1) != 0;
}

std::optional<std::filesystem::path> ext2Class::saveNodeFile(const ExtNode &node,
                                                             const std::filesystem::path &folder,
                                                             std::string *error,
                                                             std::string_view asName) {
  if (!node.isFile()) {
    return saveFailed(error, "not a file");
  }
  DataMap map;
  std::uint64_t size = 0;
  if (node.inode != 0) {
    const std::vector<std::uint8_t> inode = readInode(node.inode);
    if (inode.empty()) {
      return saveFailed(error, "its inode cannot be read");
    }
    size = dataSize(node);
    map = mapData(inode);
  }
  OutputFile out;
  if (!out.open(folder, asName.empty() ? std::string_view(node.name) : asName)) {
    return saveFailed(error, out.error());
  }
  const std::uint64_t bs = geometry.blockSize;
  bool ok = true;
  if (map.inlineData) {
    const std::size_t length =
        static_cast<std::size_t>(std::min<std::uint64_t>(map.inlineBytes.size(), size));
    ok = out.write(Bytes(map.inlineBytes).first(length));
  } else {
    std::vector<std::uint8_t> buffer;
    for (const Extent &e : map.extents) {
      if (!ok || control_.stopRequested()) {
        break;
      }
      const std::uint64_t start = e.logical * bs;
      if (start >= size) {
        break;
      }
      ok = out.skipZeros(start - out.size());
      const std::uint64_t length = std::min(e.count * bs, size - start);
      if (e.zeros) {
        ok = ok && out.skipZeros(length);
        continue;
      }
      for (std::uint64_t done = 0; ok && done < length;) {
        const std::uint64_t piece = std::min(kSaveChunk, length - done);
        const std::uint64_t firstBlock = e.physical + done / bs;
        // A deleted file's block that another file owns now is not this file's data.
        if (node.deleted && blockInUse(firstBlock)) {
          const std::uint64_t zeros = std::min(bs, length - done);
          ok = out.skipZeros(zeros);
          done += zeros;
          continue;
        }
        std::uint64_t take = piece;
        if (node.deleted) {
          // Up to the next block that is in use.
          std::uint64_t blocks = 1;
          while (blocks * bs < piece && !blockInUse(firstBlock + blocks)) {
            ++blocks;
          }
          take = std::min(piece, blocks * bs);
        }
        buffer.assign(take, 0);
        (void)reader_.readAt(e.physical * bs + done, buffer); // a failed read gives zeros
        ok = out.write(buffer);
        done += take;
      }
    }
  }
  if (ok && out.size() < size && !control_.stopRequested()) {
    ok = out.skipZeros(size - out.size());
  }
  const auto [accessed, modified] = nodeFileTimes(node);
  out.setTimes(accessed, modified);
  if (!out.close() || !ok) {
    return saveFailed(error, out.error());
  }
  return out.path();
}

} // namespace quillon
