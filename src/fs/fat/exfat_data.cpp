// Fat64Class: the list texts of an entry and saving its data (through the allocation-table
// chain, or contiguous) with its times.
#include "fs/fat/exfat.h"

#include "core/output_files.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"

#include <algorithm>
#include <unordered_set>

namespace quillon {
namespace {

// Contiguous data is read in pieces of this size.
constexpr std::uint64_t kPieceBytes = 1ULL << 20;

std::string stampText(std::uint32_t stamp) {
  const std::optional<std::tm> fields = exFatStampFields(stamp);
  return fields ? dateTimeText(*fields) : std::string();
}

std::optional<FileTime> stampTime(std::uint32_t stamp, std::uint8_t tenMs, std::uint8_t offset) {
  const std::optional<ExFatTime> t = exFatStampToUnix(stamp, tenMs, offset);
  if (!t) {
    return std::nullopt;
  }
  return FileTime{t->seconds, t->nanoseconds};
}

} // namespace

std::string Fat64Class::sizeText(const ExFatEntry &entry) const {
  return quillon::sizeText(entry.validDataLength);
}

std::array<std::string, 4> Fat64Class::entryTexts(const ExFatEntry &entry) const {
  std::string attributes;
  const std::uint8_t low = entry.attributes & 0xFF;
  if ((low & 0x01) != 0) {
    attributes += "-R";
  }
  if ((low & 0x02) != 0) {
    attributes += "-H";
  }
  if ((low & 0x04) != 0) {
    attributes += "-S";
  }
  if ((low & 0x20) != 0) {
    attributes += "-A";
  }
  return {stampText(entry.createStamp), stampText(entry.accessStamp), stampText(entry.modifyStamp),
          attributes};
}

std::optional<std::filesystem::path> Fat64Class::saveEntryFile(const ExFatEntry &entry,
                                                               const std::filesystem::path &folder,
                                                               std::string *error,
                                                               std::string_view asName) {
  if (error != nullptr) {
    error->clear();
  }
  if (clusterSize == 0) {
    return saveFailed(error, "the volume's geometry is not known");
  }
  OutputFile out;
  if (!out.open(folder, asName.empty() ? entry.name : std::string(asName))) {
    return saveFailed(error, out.error());
  }
  // No file is longer than the heap; a larger length is damage, not data.
  const std::uint64_t heapBytes = clusterCount * clusterSize;
  const std::uint64_t dataLength = std::min(entry.dataLength, heapBytes);
  const std::uint64_t valid = std::min(entry.validDataLength, dataLength);
  std::string problem;
  if (entry.dataLength > heapBytes) {
    problem = "data length is larger than the volume";
  }
  std::uint64_t written = 0;
  bool ok = true;
  std::vector<std::uint8_t> buffer;
  std::uint32_t cluster = entry.firstCluster;
  if (valid > 0 && !clusterValid(cluster)) {
    problem = "first cluster is outside the volume";
  } else if (valid > 0 && (entry.contiguous() || driveFormatted)) {
    // The clusters follow one another: read the run in large pieces.
    const std::uint64_t available = (clusterCount - (cluster - 2ULL)) * clusterSize;
    const std::uint64_t want = std::min(valid, available);
    std::uint64_t position = clusterOffset(cluster);
    while (ok && written < want && !control_.stopRequested()) {
      buffer.resize(std::min(kPieceBytes, want - written));
      ok = reader_.readAt(position, buffer) && out.write(buffer);
      position += buffer.size();
      written += buffer.size();
    }
    if (ok && want < valid) {
      problem = "data runs past the end of the volume";
    }
  } else if (valid > 0) {
    buffer.resize(clusterSize);
    const std::uint64_t maxClusters = (valid - 1) / clusterSize + 1;
    lookupCount = 0;
    std::unordered_set<std::uint32_t> seen;
    for (std::uint64_t n = 0; ok && n < maxClusters && !control_.stopRequested(); ++n) {
      const std::uint64_t take = std::min<std::uint64_t>(clusterSize, valid - written);
      const std::span<std::uint8_t> piece = std::span<std::uint8_t>(buffer).first(take);
      if (!seen.insert(cluster).second) {
        problem = "cluster chain loops";
        break;
      }
      ok = reader_.readAt(clusterOffset(cluster), piece) && out.write(piece);
      written += take;
      if (written == valid) {
        break;
      }
      std::uint32_t next = nextCluster(cluster);
      // A deleted file's table entries are often freed: go on with the next cluster.
      if (next == 0 && entry.deleted()) {
        next = cluster + 1;
      }
      if (chainEnds(next)) {
        problem = "cluster chain ends before the data does";
        break;
      }
      cluster = next;
    }
  }
  if (!ok) {
    problem = out.error().empty() ? "read failed" : out.error();
  }
  if (ok && written == valid && dataLength > valid) {
    ok = out.skipZeros(dataLength - valid);
  }
  out.setTimes(stampTime(entry.accessStamp, 0, entry.accessUtcOffset),
               stampTime(entry.modifyStamp, entry.modify10ms, entry.modifyUtcOffset));
  if (!out.close() && ok) {
    return saveFailed(error, out.error());
  }
  if (error != nullptr) {
    *error = problem;
  }
  return out.path();
}

} // namespace quillon
