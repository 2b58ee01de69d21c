// Sector-signature search over a volume in 10 MiB chunks.
#include "fs/fat/fat_candidates.h"

#include "core/progress.h"
#include "core/worker_control.h"
#include "disk/reader.h"

#include <algorithm>
#include <cstring>

namespace quillon::fat {

namespace {

bool matches(Bytes bytes, const SignatureSearch &search) {
  if (search.mask.size() < bytes.size()) {
    return std::memcmp(bytes.data(), search.signature.data(), bytes.size()) == 0;
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if ((bytes[i] & search.mask[i]) != search.signature[i]) {
      return false;
    }
  }
  return true;
}

} // namespace

std::vector<std::uint64_t> findSignatureSectors(readWriteInterface &reader,
                                                std::uint64_t volumeBytes, Progress &progress,
                                                WorkerControl &control,
                                                const SignatureSearch &search) {
  std::vector<std::uint64_t> found;
  const std::size_t maxCount = std::max<std::size_t>(1, search.maxCount);
  const std::size_t width = std::min<std::size_t>(search.signature.size(), kSectorSize);
  progress.setRange(0, 1000);
  std::vector<std::uint8_t> chunk;
  for (std::uint64_t start = 0; start < volumeBytes && width != 0; start += kCandidateChunkBytes) {
    if (search.onChunk) {
      search.onChunk(start);
    }
    progress.setPosition(static_cast<std::uint64_t>(static_cast<double>(start) /
                                                    static_cast<double>(volumeBytes) * 1000));
    const std::uint64_t length = std::min(kCandidateChunkBytes, volumeBytes - start);
    chunk.assign(length, 0);
    (void)reader.readAt(start, chunk); // a failed read leaves zeros, which match nothing
    for (std::uint64_t at = 0; at + width <= length; at += kSectorSize) {
      if (!matches(Bytes(chunk).subspan(at, width), search)) {
        continue;
      }
      found.push_back(start + at);
      if (search.onHit) {
        search.onHit(found.size());
      }
      if (found.size() >= maxCount) {
        progress.setPosition(1000);
        return found;
      }
    }
    if (!control.checkpoint()) {
      break;
    }
  }
  progress.setPosition(1000);
  return found;
}

} // namespace quillon::fat
