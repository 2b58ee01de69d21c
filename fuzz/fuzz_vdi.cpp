// Fuzz target: FileReadSeekVdi. The input is opened as a VDI and, when it opens, read at the
// start, the middle and the end of its disk.
#include "disk/vdi_reader.h"
#include "fuzz_file_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  quillon::FileReadSeekVdi reader;
  if (reader.open(quillon::fuzz::writeScratchFile("image.vdi", data, size))) {
    quillon::fuzz::readSpans(reader);
  }
  return 0;
}
