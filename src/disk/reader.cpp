// The shared read loop of every reader and the process-wide reader state.
#include "disk/reader.h"

#include "core/progress.h"
#include "disk/image_file.h"

#include <algorithm>
#include <cstring>

namespace quillon {

std::unique_ptr<readWriteInterface> activeReader;
std::uint64_t diskSectorCount = 0;
bool imageSaveActive = false;

void readWriteInterface::report(std::string text) {
  if (progress_ != nullptr) {
    progress_->inform(text);
  }
  lastError_ = std::move(text);
}

bool readWriteInterface::seek(std::uint64_t offset, int origin) {
  if (origin != 0) {
    return false;
  }
  position_ = offset;
  const std::uint64_t abs = baseOffset + offset;
  const std::uint64_t diskBytes = sectorCount() * kSectorSize;
  if (abs < baseOffset || abs >= diskBytes) {
    mapped = false;
    return true;
  }
  const Run run = mapRun(abs, kSectorSize - abs % kSectorSize);
  mapped = run.kind == Run::Kind::File || run.kind == Run::Kind::Memory;
  return run.kind != Run::Kind::Error;
}

bool readWriteInterface::read(void *buffer, std::uint64_t count) {
  auto *out = static_cast<std::uint8_t *>(buffer);
  bool ok = true;
  const std::uint64_t diskBytes = sectorCount() * kSectorSize;
  std::uint64_t abs = baseOffset + position_;
  std::uint64_t done = 0;
  while (done < count) {
    const std::uint64_t want = count - done;
    if (abs < baseOffset || abs >= diskBytes) {
      std::memset(out + done, 0, want);
      break;
    }
    Run run = mapRun(abs, std::min(want, diskBytes - abs));
    const std::uint64_t n = std::clamp<std::uint64_t>(run.length, 1, want);
    mapped = run.kind == Run::Kind::File || run.kind == Run::Kind::Memory;
    switch (run.kind) {
    case Run::Kind::File:
      if (!run.file->readAt(run.fileOffset, {out + done, n})) {
        ok = false;
      }
      break;
    case Run::Kind::Memory:
      std::memcpy(out + done, run.memory, n);
      break;
    case Run::Kind::Error:
      ok = false;
      [[fallthrough]];
    case Run::Kind::Zero:
      std::memset(out + done, 0, n);
      break;
    }
    done += n;
    abs += n;
  }
  position_ += count;
  return ok;
}

} // namespace quillon
