// Choosing and opening the reader for an image file: by the user's choices (VMDK single,
// split or descriptor, VHD, VDI), or with ImageType::Auto by the file's own magic.
#pragma once

#include "disk/reader.h"

#include <filesystem>
#include <memory>
#include <string>

namespace quillon {

class Progress;

enum class ImageType { Auto, Vmdk, Vhd, Vdi };

struct ReaderChoice {
  ImageType type = ImageType::Auto;
  bool split = false;          // numbered extent files found by name
  bool descriptor = false;     // the chosen file is a text descriptor
  std::string extentType = ""; // "SPARSE" or "FLAT"; empty: decide by the file
};

// What Auto finds at the start (and end) of a file.
enum class DetectedFormat { VmdkSparse, VmdkDescriptor, Vhd, Vdi, Raw, Unreadable };
[[nodiscard]] DetectedFormat detectImageFormat(const std::filesystem::path &path);

// Creates the reader the choice asks for (not opened).
[[nodiscard]] std::unique_ptr<readWriteInterface> createReader(const ReaderChoice &choice,
                                                               const std::filesystem::path &path);

// Creates and opens the reader; on success it becomes activeReader and diskSectorCount is set.
// On failure activeReader is null, diskSectorCount 0, and error says why.
bool openActiveReader(const ReaderChoice &choice, const std::filesystem::path &path,
                      Progress &progress, std::string &error);

} // namespace quillon
