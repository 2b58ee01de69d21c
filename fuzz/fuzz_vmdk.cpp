// Fuzz target: VMDK extent headers (sparse, stream-optimized, flat) and text descriptors. The
// input is written to a file in a private folder and opened like a user's image; if it opens,
// a few spans of its disk are read.
#include "disk/vmdk_reader.h"
#include "disk/vmdk_split_reader.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::filesystem::path scratchFolder() {
  static const std::filesystem::path folder = [] {
    const std::filesystem::path base =
        std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    auto p = base / ("quillon-fuzz-vmdk-" + std::to_string(::getpid()));
    std::filesystem::create_directories(p);
    return p;
  }();
  return folder;
}

void readSome(quillon::readWriteInterface &r) {
  std::vector<std::uint8_t> buf(256 * 1024);
  const std::uint64_t bytes = r.sectorCount() * 512;
  for (const std::uint64_t at : {std::uint64_t{0}, bytes / 2, bytes > 4096 ? bytes - 4096 : 0}) {
    (void)r.seek(at);
    (void)r.read(buf.data(), buf.size());
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  const std::filesystem::path file = scratchFolder() / "disk-s001.vmdk";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data + 1), static_cast<std::streamsize>(size - 1));
  }
  switch (data[0] % 4) {
  case 0: {
    quillon::FileReadSeekVmdk r;
    if (r.open(file)) {
      readSome(r);
    }
    break;
  }
  case 1: {
    quillon::FileReadSeekVmdk r;
    r.extentType = "FLAT";
    if (r.open(file)) {
      readSome(r);
    }
    break;
  }
  case 2: {
    quillon::FileReadSeekVmdkSplit r;
    r.descriptorMode = true;
    if (r.open(file)) {
      readSome(r);
    }
    break;
  }
  default: {
    quillon::FileReadSeekVmdkSplit r;
    if (r.open(file)) {
      readSome(r);
    }
    break;
  }
  }
  return 0;
}
