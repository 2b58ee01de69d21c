// Reader choice by the user's options or by the file's magic.
#include "disk/reader_factory.h"

#include "core/byte_order.h"
#include "core/progress.h"
#include "disk/image_file.h"
#include "disk/vdi_reader.h"
#include "disk/vhd_reader.h"
#include "disk/vmdk_descriptor.h"
#include "disk/vmdk_reader.h"
#include "disk/vmdk_split_reader.h"

#include <array>

namespace quillon {

DetectedFormat detectImageFormat(const std::filesystem::path &path) {
  ImageFile file;
  if (!file.open(path)) {
    return DetectedFormat::Unreadable;
  }
  std::array<std::uint8_t, 1024> head{};
  std::array<std::uint8_t, 512> tail{};
  if (!file.readAt(0, head)) {
    return DetectedFormat::Unreadable;
  }
  if (le32(head, 0) == 0x564D444B) { // "KDMV"
    return DetectedFormat::VmdkSparse;
  }
  if (le32(head, 64) == 0xBEDA107F) {
    return DetectedFormat::Vdi;
  }
  if (hasBytes(head, 0, "conectix")) {
    return DetectedFormat::Vhd;
  }
  // A fixed VHD has its footer in the last sector only (older tools wrote 511 bytes).
  for (const std::uint64_t back : {512ULL, 511ULL}) {
    if (file.size() >= back + 512 && file.readAt(file.size() - back, tail) &&
        hasBytes(tail, 0, "conectix")) {
      return DetectedFormat::Vhd;
    }
  }
  if (file.size() < FileReadSeekVmdkSplit::kMaxDescriptorBytes &&
      looksLikeVmdkDescriptor(
          std::string_view(reinterpret_cast<const char *>(head.data()), head.size()))) {
    return DetectedFormat::VmdkDescriptor;
  }
  return DetectedFormat::Raw;
}

std::unique_ptr<readWriteInterface> createReader(const ReaderChoice &choice,
                                                 const std::filesystem::path &path) {
  ReaderChoice c = choice;
  if (c.type == ImageType::Auto) {
    switch (detectImageFormat(path)) {
    case DetectedFormat::Vhd:
      c.type = ImageType::Vhd;
      break;
    case DetectedFormat::Vdi:
      c.type = ImageType::Vdi;
      break;
    case DetectedFormat::VmdkDescriptor:
      c.type = ImageType::Vmdk;
      c.descriptor = !c.split;
      break;
    case DetectedFormat::VmdkSparse:
      c.type = ImageType::Vmdk;
      break;
    case DetectedFormat::Raw:
      c.type = ImageType::Vmdk;
      if (c.extentType.empty()) {
        c.extentType = "FLAT";
      }
      break;
    case DetectedFormat::Unreadable:
      c.type = ImageType::Vmdk;
      break;
    }
  }
  switch (c.type) {
  case ImageType::Vhd:
    return std::make_unique<FileReadSeekVHD>();
  case ImageType::Vdi:
    return std::make_unique<FileReadSeekVdi>();
  case ImageType::Auto:
  case ImageType::Vmdk:
    break;
  }
  if (c.split || c.descriptor) {
    auto r = std::make_unique<FileReadSeekVmdkSplit>();
    r->descriptorMode = c.descriptor;
    r->extentType = c.extentType;
    return r;
  }
  auto r = std::make_unique<FileReadSeekVmdk>();
  r->extentType = c.extentType;
  return r;
}

bool openActiveReader(const ReaderChoice &choice, const std::filesystem::path &path,
                      Progress &progress, std::string &error) {
  activeReader.reset();
  diskSectorCount = 0;
  std::unique_ptr<readWriteInterface> reader = createReader(choice, path);
  reader->setProgress(&progress);
  if (!reader->open(path)) {
    error = reader->lastError().empty() ? "file not opened.." : reader->lastError();
    return false;
  }
  diskSectorCount = reader->sectorCount();
  activeReader = std::move(reader);
  return true;
}

} // namespace quillon
