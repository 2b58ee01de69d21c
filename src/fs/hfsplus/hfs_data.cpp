// HFSP: the list texts of a file (times from the 1904 epoch, the permission text, the size),
// hard links followed to their inode file, and saving a file's data fork with its times.
#include "fs/hfsplus/hfs_layout.h"
#include "fs/hfsplus/hfsplus.h"

#include "core/output_files.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"

#include <algorithm>

namespace quillon {

using namespace hfs;

namespace {

// Data read in one request while saving.
constexpr std::uint64_t kSaveChunk = 1 << 20;

std::string dateText(std::uint32_t hfsDate) {
  const auto seconds = dateToUnix(hfsDate);
  return seconds ? localDateTimeText(*seconds) : std::string();
}

std::optional<FileTime> fileTime(std::uint32_t hfsDate) {
  const auto seconds = dateToUnix(hfsDate);
  return seconds ? std::optional<FileTime>(FileTime{*seconds, 0}) : std::nullopt;
}

// Compression types whose data can be read: uncompressed or zlib, in the attribute or in the
// resource fork.
bool readableCompression(std::uint32_t type) { return type == 1 || type == 3 || type == 4; }

} // namespace

const HfsNode *HFSP::hardLinkTarget(const HfsNode &link) const {
  if (!link.isHardLink()) {
    return nullptr;
  }
  // The inode file is named for the link's inode number in the private folder.
  const auto it = inodeFiles_.find("iNode" + std::to_string(link.special));
  const HfsNode *target = it == inodeFiles_.end() ? nullptr : findNode(it->second);
  return target != nullptr && target->isFile() && !target->isHardLink() ? target : nullptr;
}

const HfsNode &HFSP::contentNode(const HfsNode &node) const {
  const HfsNode *target = hardLinkTarget(node);
  return target != nullptr ? *target : node;
}

std::array<std::string, 4> HFSP::describeHfsFile(const HfsNode &node) const {
  const HfsNode &c = contentNode(node);
  std::array<std::string, 4> texts;
  texts[0] = dateText(c.createDate);
  texts[1] = dateText(c.accessDate);
  texts[2] = dateText(c.contentModDate);
  static constexpr std::pair<std::uint16_t, const char *> kBits[] = {
      {0x040, "-Owner:X"}, {0x080, "-Owner:W"}, {0x100, "-Owner:R"}, {0x001, "-OX"}, {0x002, "-OW"},
      {0x004, "-OR"},      {0x008, "-GX"},      {0x010, "-GW"},      {0x020, "-GR"}};
  for (const auto &[bit, text] : kBits) {
    if ((c.fileMode & bit) != 0) {
      texts[3] += text;
    }
  }
  return texts;
}

std::uint64_t HFSP::dataSize(const HfsNode &node) const {
  if (!node.isFile()) {
    return 0;
  }
  const HfsNode &c = contentNode(node);
  if (c.isCompressed()) {
    if (const auto it = compressedFiles.find(c.cnid); it != compressedFiles.end()) {
      return it->second.size;
    }
  }
  return c.data.logicalSize;
}

std::string HFSP::sizeText(const HfsNode &node) const { return quillon::sizeText(dataSize(node)); }

std::pair<std::optional<FileTime>, std::optional<FileTime>>
HFSP::hfsFileTimes(const HfsNode &node) const {
  const HfsNode &c = contentNode(node);
  // The modification time is the content's (what the system shows as the file's mtime).
  return {fileTime(c.accessDate), fileTime(c.contentModDate)};
}

std::optional<std::filesystem::path> HFSP::saveHfsFile(const HfsNode &node,
                                                       const std::filesystem::path &folder,
                                                       std::string *error,
                                                       std::string_view asName) {
  if (!node.isFile()) {
    return saveFailed(error, "not a file");
  }
  const HfsNode &c = contentNode(node);
  if (node.isHardLink() && &c == &node) {
    return saveFailed(error, format("a hard link whose inode file iNode%u was not found",
                                    static_cast<unsigned>(node.special)));
  }
  // A compressed file's data fork is empty; its data is in its attribute or resource fork.
  bool compressed = false;
  if (c.isCompressed()) {
    const auto it = compressedFiles.find(c.cnid);
    if (it == compressedFiles.end() && c.data.logicalSize == 0) {
      return saveFailed(error,
                        "the file is compressed and its compression attribute was not found");
    }
    if (it != compressedFiles.end()) {
      if (!readableCompression(it->second.type)) {
        return saveFailed(error,
                          format("the file is compressed with method %u, which cannot be read",
                                 static_cast<unsigned>(it->second.type)));
      }
      compressed = true;
    }
  }
  OutputFile out;
  if (!out.open(folder, asName.empty() ? std::string_view(node.name) : asName)) {
    return saveFailed(error, out.error());
  }
  if (compressed) {
    std::string why;
    if (!writeCompressed(c, out, why)) {
      const std::filesystem::path written = out.path();
      (void)out.close();
      std::error_code ec;
      std::filesystem::remove(written, ec); // no half-decoded file is left behind
      return saveFailed(error, why);
    }
  } else {
    // The data fork's runs, cut at its size; blocks a run lacks stay missing (the file is then
    // shorter than its size), and runs that lie nowhere are written as zeros.
    const std::vector<HfsRun> runs = forkRuns(c.data, c.cnid, kHfsDataFork);
    std::uint64_t remaining = c.data.logicalSize;
    std::vector<std::uint8_t> buffer;
    for (const HfsRun &run : runs) {
      if (remaining == 0 || control_.stopRequested()) {
        break;
      }
      const std::uint64_t length = std::min(run.length, remaining);
      if (run.zeros) {
        if (!out.skipZeros(length)) {
          return saveFailed(error, out.error());
        }
      } else {
        for (std::uint64_t done = 0; done < length;) {
          buffer.resize(std::min(kSaveChunk, length - done));
          (void)reader_.readAt(run.volumeOffset + done, buffer);
          if (!out.write(buffer)) {
            return saveFailed(error, out.error());
          }
          done += buffer.size();
        }
      }
      remaining -= length;
    }
  }
  const auto [access, modify] = hfsFileTimes(node);
  out.setTimes(access, modify);
  if (!out.close()) {
    return saveFailed(error, out.error());
  }
  return out.path();
}

} // namespace quillon
