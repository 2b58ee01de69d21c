// The allocation-table (and exFAT cluster-heap) candidate search of the advanced mode: the
// volume is read in 10 MiB chunks and the start of every 512-byte sector is compared with a
// signature. It serves FAT16, FAT32 and exFAT, which differ only in the signature, the count
// they stop at and the texts they show.
#pragma once

#include "core/byte_order.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace quillon {

class Progress;
class WorkerControl;
class readWriteInterface;

namespace fat {

inline constexpr std::uint64_t kCandidateChunkBytes = 10ULL * 1024 * 1024;

// FAT16: the media byte and the end mark of cluster 1.
inline constexpr std::uint8_t kFat16TableSignature[] = {0xF8, 0xFF, 0xFF, 0xFF};
// FAT32: 0x0FFFFFF8 then the end mark of cluster 1. Only the low 28 bits of an entry count:
// mkfs.fat writes 0x0FFFFFFF for cluster 1, other tools 0xFFFFFFFF.
inline constexpr std::uint8_t kFat32TableSignature[] = {0xF8, 0xFF, 0xFF, 0x0F,
                                                        0xFF, 0xFF, 0xFF, 0x0F};
inline constexpr std::uint8_t kFat32TableMask[] = {0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F};
// exFAT: 0xFFFFFFF8 then 0xFFFFFFFF.
inline constexpr std::uint8_t kExFatTableSignature[] = {0xF8, 0xFF, 0xFF, 0xFF,
                                                        0xFF, 0xFF, 0xFF, 0xFF};

struct SignatureSearch {
  Bytes signature;
  // When not empty, the bits compared: a sector matches when (byte & mask) == signature.
  Bytes mask;
  // The search ends once this many sectors were found (at least 1).
  std::size_t maxCount = 3;
  // Called before each chunk is tested, with the chunk's start (bytes from the volume start).
  std::function<void(std::uint64_t chunkStart)> onChunk;
  // Called after each hit with the count found so far.
  std::function<void(std::size_t found)> onHit;
};

// Byte offsets (from the volume start, which is the reader's base offset) of the 512-byte
// sectors of the first volumeBytes bytes that begin with the signature, in volume order. The
// progress range is 0..1000 with the position at each chunk; a stop request ends the search
// after the chunk being tested, with what was found. A read that fails counts as zeros.
[[nodiscard]] std::vector<std::uint64_t>
findSignatureSectors(readWriteInterface &reader, std::uint64_t volumeBytes, Progress &progress,
                     WorkerControl &control, const SignatureSearch &search);

} // namespace fat
} // namespace quillon
