// readWriteInterface: the one abstract reader through which every byte of a virtual disk is
// read, whatever the container. A concrete reader maps disk byte ranges to places in its image
// files (mapRun); the shared read loop here turns a request into as few file reads as the
// mapping allows, fills unallocated ranges with zeros and reads past the end of the disk as
// zeros. Also holds the process-wide active reader and disk size.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "disk/image_file.h"

namespace quillon {

class Progress;

inline constexpr std::uint64_t kSectorSize = 512;

class readWriteInterface {
public:
  readWriteInterface() = default;
  virtual ~readWriteInterface() = default;
  readWriteInterface(const readWriteInterface &) = delete;
  readWriteInterface &operator=(const readWriteInterface &) = delete;

  // Opens the image and reads its headers and maps. Returns true when reads can be served.
  // Explanations of a failure go to the Progress given with setProgress (message boxes) and to
  // lastError.
  virtual bool open(const std::filesystem::path &path) = 0;

  // Fills buffer with count bytes from the current position and advances the position by
  // count. Unallocated ranges and ranges past the end of the disk read as zeros. Returns false
  // only when an image file could not be read (the bytes concerned are zeros).
  virtual bool read(void *buffer, std::uint64_t count);

  // Positions at offset (relative to baseOffset); origin is always 0 (from the start). Sets
  // mapped for the addressed sector. Any byte offset is honoured.
  virtual bool seek(std::uint64_t offset, int origin = 0);

  // Size of the virtual disk in 512-byte sectors, as the headers give it.
  [[nodiscard]] virtual std::uint64_t sectorCount() const = 0;

  // A one-line description of the container for `info` ("VMDK sparse", "VHD dynamic", ...).
  [[nodiscard]] virtual std::string kindText() const = 0;

  // Convenience: seek then read.
  bool readAt(std::uint64_t offset, std::span<std::uint8_t> out) {
    return seek(offset) && read(out.data(), out.size());
  }

  [[nodiscard]] std::uint64_t position() const { return position_; }
  [[nodiscard]] const std::string &lastError() const { return lastError_; }
  void setProgress(Progress *progress) { progress_ = progress; }

  std::uint64_t baseOffset = 0; // added to every seek offset (a volume's start × 512)
  std::uint64_t imageSize = 0;  // length of the opened file (the descriptor for a split set)
  bool mapped = true;           // whether the sector at the current position has stored data

protected:
  // One contiguous piece of the disk as the container stores it.
  struct Run {
    enum class Kind { File, Zero, Memory, Error };
    Kind kind = Kind::Zero;
    std::uint64_t length = 0;             // bytes of disk covered, >= 1
    const ImageFile *file = nullptr;      // Kind::File
    std::uint64_t fileOffset = 0;         // Kind::File
    const std::uint8_t *memory = nullptr; // Kind::Memory: bytes owned by the reader
  };

  // Maps the disk byte at absolute offset abs (baseOffset included). The run may be shorter
  // than maxLength but never longer. Called only for abs below the disk size.
  [[nodiscard]] virtual Run mapRun(std::uint64_t abs, std::uint64_t maxLength) = 0;

  // Maps abs through a table of tableSize equal blocks (the VHD and VDI block maps).
  // blockStart(b) is the file offset of block b's data, or nullopt for a block that is not
  // stored. Neighbouring holes become one zero run, and blocks whose data follow one another in
  // the file become one file run, so a read costs one fill or one file read per stretch.
  template <typename BlockStart>
  [[nodiscard]] Run mapBlockRun(std::uint64_t abs, std::uint64_t maxLength, std::uint64_t blockSize,
                                std::uint64_t tableSize, const ImageFile &file,
                                BlockStart blockStart) const {
    Run run;
    const std::uint64_t block = abs / blockSize;
    const std::uint64_t within = abs % blockSize;
    run.length = std::min(maxLength, blockSize - within);
    const auto grow = [&] { run.length += std::min(blockSize, maxLength - run.length); };
    const std::optional<std::uint64_t> start = blockStart(block);
    if (!start) {
      for (std::uint64_t next = block + 1; run.length < maxLength && !blockStart(next); ++next) {
        if (next >= tableSize) {
          run.length = maxLength; // nothing past the table is stored
          break;
        }
        grow();
      }
      return run;
    }
    run.kind = Run::Kind::File;
    run.file = &file;
    run.fileOffset = *start + within;
    std::uint64_t expected = *start + blockSize;
    for (std::uint64_t next = block + 1; run.length < maxLength && next < tableSize; ++next) {
      const std::optional<std::uint64_t> following = blockStart(next);
      if (!following || *following != expected) {
        break;
      }
      expected += blockSize;
      grow();
    }
    return run;
  }

  void fail(std::string text) { lastError_ = std::move(text); }
  // Shows text in an information box with the application title (when a Progress is set) and
  // keeps it as lastError.
  void report(std::string text);

  std::uint64_t position_ = 0;
  Progress *progress_ = nullptr;
  std::string lastError_;
};

// The reader in use, owned; null when there is none. Replaced by the front end that opens an
// image; workers read through it one at a time.
extern std::unique_ptr<readWriteInterface> activeReader;
// Size of the active reader's disk in sectors (0 when none).
extern std::uint64_t diskSectorCount;
// True while a disk-image save runs.
extern bool imageSaveActive;

} // namespace quillon
