// Fuzz target: FileReadSeekVHD. The input is opened as a VHD and, when it opens, read at the
// start, the middle and the end of its disk.
#include "disk/vhd_reader.h"
#include "fuzz_file_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  quillon::FileReadSeekVHD reader;
  if (reader.open(quillon::fuzz::writeScratchFile("image.vhd", data, size))) {
    quillon::fuzz::readSpans(reader);
  }
  return 0;
}
