// ChunkReader: serves the carving scan its sectors out of large reads. The volume is read in
// windows of whole 1 MiB chunks; while the scan works through one window, the next one is read
// on a helper thread, so reading and matching overlap. A jump past the window (a skip) reads
// the window holding the new position and drops the read-ahead.
#pragma once

#include "carving/volume_bytes.h"

#include <cstdint>
#include <future>
#include <span>
#include <vector>

namespace quillon {

class ChunkReader {
public:
  // windowBytes is rounded up to whole chunks. Allocates its buffers, which may throw
  // std::bad_alloc; nothing else throws.
  ChunkReader(VolumeBytes &volume, std::uint64_t volumeSize, std::uint64_t chunkSize,
              std::uint64_t windowBytes, bool readAhead);
  ~ChunkReader();
  ChunkReader(const ChunkReader &) = delete;
  ChunkReader &operator=(const ChunkReader &) = delete;

  // The 512 bytes at offset, a multiple of 512 below the volume size; bytes past the end of the
  // volume read as zeros.
  [[nodiscard]] std::span<const std::uint8_t> sector(std::uint64_t offset);

  // Waits for a read-ahead still running.
  void finish();

  // Read requests that reported a failure.
  [[nodiscard]] std::uint64_t failedReads() const { return failedReads_; }

private:
  struct Window {
    std::vector<std::uint8_t> bytes;
    std::uint64_t start = 0;
    std::uint64_t length = 0; // 0: holds nothing
  };

  // Fills window with the piece starting at start (a chunk boundary below the volume size).
  bool fill(Window &window, std::uint64_t start);
  void load(std::uint64_t offset);
  void startReadAhead();

  VolumeBytes &volume_;
  std::uint64_t volumeSize_;
  std::uint64_t chunkSize_;
  std::uint64_t windowBytes_;
  bool readAhead_;
  Window current_;
  Window next_;
  std::future<bool> pending_; // read-ahead into next_
  std::vector<std::uint8_t> tail_ = std::vector<std::uint8_t>(512);
  std::uint64_t failedReads_ = 0;
};

} // namespace quillon
