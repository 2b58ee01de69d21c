// Fuzz target for FAT32 volumes in the standard and the advanced mode (see fuzz_fat_volume.h).
#include "fs/fat/fat32.h"
#include "fuzz_fat_volume.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  return quillon::fuzz::fuzzFatVolume<quillon::Fat32Class>(data, size);
}
