// Shared by the fuzz targets of the file readers: the input becomes a real file (one private
// folder per process, in memory where /dev/shm exists) so that it is opened exactly like a
// user's image, and an opened disk is read at its start, middle and end.
#pragma once

#include "disk/reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace quillon::fuzz {

inline const std::filesystem::path &scratchFolder() {
  // Never destroyed, so that the exit handler can still read it.
  static const std::filesystem::path *folder = [] {
    std::filesystem::path base = "/dev/shm";
    if (!std::filesystem::is_directory(base)) {
      base = std::filesystem::temp_directory_path();
    }
    auto *p = new std::filesystem::path(base / ("quillon-fuzz-" + std::to_string(::getpid())));
    std::filesystem::create_directories(*p);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(scratchFolder(), ec);
    });
    return p;
  }();
  return *folder;
}

// Writes the bytes to scratchFolder()/name and returns the path.
inline std::filesystem::path writeScratchFile(const std::string &name, const std::uint8_t *data,
                                              std::size_t size) {
  const std::filesystem::path file = scratchFolder() / name;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  return file;
}

// Reads up to 1 MiB (plus one byte, to cross a sector end) at the start, the middle, the end and
// the last sector of the disk.
inline void readSpans(readWriteInterface &reader) {
  constexpr std::uint64_t kSpan = 1 << 20;
  const std::uint64_t diskBytes = reader.sectorCount() * kSectorSize;
  const std::uint64_t length = std::min(kSpan, diskBytes);
  std::vector<std::uint8_t> buffer(length + 1);
  for (const std::uint64_t at : {std::uint64_t{0}, diskBytes / 2 + 1, diskBytes - length,
                                 diskBytes > 512 ? diskBytes - 512 : 0}) {
    (void)reader.seek(at);
    (void)reader.read(buffer.data(), std::min<std::uint64_t>(length, diskBytes - at) + 1);
  }
}

} // namespace quillon::fuzz
