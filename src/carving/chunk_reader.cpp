// Windowed volume reads with one read-ahead for the carving scan.
#include "carving/chunk_reader.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace quillon {

ChunkReader::ChunkReader(VolumeBytes &volume, std::uint64_t volumeSize, std::uint64_t chunkSize,
                         std::uint64_t windowBytes, bool readAhead)
    : volume_(volume), volumeSize_(volumeSize), chunkSize_(std::max<std::uint64_t>(chunkSize, 512)),
      readAhead_(readAhead) {
  windowBytes_ =
      std::max<std::uint64_t>(1, (windowBytes + chunkSize_ - 1) / chunkSize_) * chunkSize_;
  // A volume smaller than a window is read whole, into a buffer of its own size.
  const std::uint64_t needed = (volumeSize_ + 511) / 512 * 512;
  const std::uint64_t size = std::max<std::uint64_t>(512, std::min(windowBytes_, needed));
  current_.bytes.resize(size);
  if (readAhead_ && needed > size) {
    next_.bytes.resize(size);
  } else {
    readAhead_ = false;
  }
  windowBytes_ = size;
}

ChunkReader::~ChunkReader() { finish(); }

void ChunkReader::finish() {
  if (pending_.valid()) {
    (void)pending_.get(); // a read-ahead nobody used: its failure does not count
  }
}

bool ChunkReader::fill(Window &window, std::uint64_t start) {
  window.start = start;
  window.length = std::min(windowBytes_, volumeSize_ - start);
  return volume_.read(start, std::span(window.bytes.data(), window.length));
}

void ChunkReader::startReadAhead() {
  const std::uint64_t following = current_.start + current_.length;
  if (!readAhead_ || following >= volumeSize_) {
    return;
  }
  next_.length = 0;
  try {
    pending_ = std::async(std::launch::async, [this, following] { return fill(next_, following); });
  } catch (const std::system_error &) {
    readAhead_ = false; // no thread to be had: read in line from now on
  }
}

void ChunkReader::load(std::uint64_t offset) {
  const std::uint64_t start = offset / chunkSize_ * chunkSize_;
  if (pending_.valid()) {
    const bool read = pending_.get();
    if (next_.start == start && next_.length != 0) {
      if (!read) {
        ++failedReads_;
      }
      std::swap(current_, next_);
      startReadAhead();
      return;
    }
  }
  if (!fill(current_, start)) {
    ++failedReads_;
  }
  startReadAhead();
}

std::span<const std::uint8_t> ChunkReader::sector(std::uint64_t offset) {
  if (current_.length == 0 || offset < current_.start ||
      offset >= current_.start + current_.length) {
    load(offset);
  }
  const std::uint64_t within = offset - current_.start;
  if (current_.length - within >= 512) {
    return {current_.bytes.data() + within, 512};
  }
  // The last, partial sector of a volume whose size is not a whole number of sectors.
  std::fill(tail_.begin(), tail_.end(), std::uint8_t{0});
  std::memcpy(tail_.data(), current_.bytes.data() + within, current_.length - within);
  return tail_;
}

} // namespace quillon
