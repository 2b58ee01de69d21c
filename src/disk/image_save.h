// The disk-image save: copies the whole virtual disk of an image, through its reader, into a
// raw ".img" file, in 5 MiB chunks, with status texts, progress and stop. Runs on a worker.
#pragma once

#include "disk/reader_factory.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace quillon {

class Progress;
class WorkerControl;

// The output file for an image in folder: folder/NAME.img (NAME being the image's file name
// with its extension), or folder/nNAME.img with the first n = 1, 2, ... that does not exist.
[[nodiscard]] std::filesystem::path imageOutputPath(const std::filesystem::path &folder,
                                                    const std::filesystem::path &imagePath);

struct ImageSaveResult {
  bool ok = false;      // the whole disk was written
  bool stopped = false; // stopped by the user (the file holds what was written)
  std::uint64_t written = 0;
  std::string error; // why it failed, for the command line
};

inline constexpr std::uint64_t kImageSaveChunk = 5ULL * 1024 * 1024;
inline constexpr char kImageSavedText[] = "Image Saved,Choose any one of the mode and click next.";

// Opens a fresh active reader for the image, copies its disk to output (which must not exist)
// and deletes the active reader at the end, whatever happened.
ImageSaveResult saveDiskImage(const ReaderChoice &choice, const std::filesystem::path &imagePath,
                              const std::filesystem::path &output, Progress &progress,
                              WorkerControl &control);

} // namespace quillon
