// Fuzz target: VMDK extent headers (sparse, stream-optimized, flat) and text descriptors. The
// first byte picks how the rest is opened: as a single extent, as a flat extent, as a
// descriptor, or as the first of a numbered set.
#include "disk/vmdk_reader.h"
#include "disk/vmdk_split_reader.h"
#include "fuzz_file_support.h"

namespace {

template <typename Reader> void openAndRead(Reader &reader, const std::filesystem::path &file) {
  if (reader.open(file)) {
    quillon::fuzz::readSpans(reader);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  const auto file = quillon::fuzz::writeScratchFile("disk-s001.vmdk", data + 1, size - 1);
  switch (data[0] % 4) {
  case 0: {
    quillon::FileReadSeekVmdk r;
    openAndRead(r, file);
    break;
  }
  case 1: {
    quillon::FileReadSeekVmdk r;
    r.extentType = "FLAT";
    openAndRead(r, file);
    break;
  }
  case 2: {
    quillon::FileReadSeekVmdkSplit r;
    r.descriptorMode = true;
    openAndRead(r, file);
    break;
  }
  default: {
    quillon::FileReadSeekVmdkSplit r;
    openAndRead(r, file);
    break;
  }
  }
  return 0;
}
