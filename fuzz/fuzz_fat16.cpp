// Fuzz target for FAT16 volumes in the standard and the advanced mode (see fuzz_fat_volume.h).
#include "fs/fat/fat16.h"
#include "fuzz_fat_volume.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  return quillon::fuzz::fuzzFatVolume<quillon::Fat16Class>(data, size);
}
