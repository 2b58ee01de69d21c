// Fuzz target: FileReadSeekVHD. The input is written to a file (one per process), opened as a
// VHD and, when it opens, read at the start, the middle and the end of the disk.
#include "disk/vhd_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string gInputPath; // set once per process

const std::string &inputPath() {
  if (gInputPath.empty()) {
    std::filesystem::path dir = "/dev/shm";
    if (!std::filesystem::is_directory(dir)) {
      dir = std::filesystem::temp_directory_path();
    }
    gInputPath = (dir / ("quillon_fuzz_vhd_" + std::to_string(::getpid()) + ".vhd")).string();
    std::atexit([] { std::remove(gInputPath.c_str()); });
  }
  return gInputPath;
}

bool writeInput(const std::uint8_t *data, std::size_t size) {
  std::FILE *f = std::fopen(inputPath().c_str(), "wb");
  if (f == nullptr) {
    return false;
  }
  const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (!writeInput(data, size)) {
    return 0;
  }
  quillon::FileReadSeekVHD reader;
  if (!reader.open(inputPath())) {
    return 0;
  }
  constexpr std::uint64_t kSpan = 1 << 20;
  const std::uint64_t diskBytes = reader.sectorCount() * quillon::kSectorSize;
  const std::uint64_t length = std::min(kSpan, diskBytes);
  std::vector<std::uint8_t> buffer(length + 1);
  for (const std::uint64_t at :
       {std::uint64_t{0}, diskBytes / 2 + 1, diskBytes - length, diskBytes - 512}) {
    (void)reader.seek(at);
    (void)reader.read(buffer.data(), std::min<std::uint64_t>(length, diskBytes - at) + 1);
  }
  return 0;
}
