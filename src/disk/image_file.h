// ImageFile: one image file opened read-only, read with positioned reads so that several
// readers (the extents of a split set) never disturb each other's file position.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace quillon {

class ImageFile {
public:
  ImageFile() = default;
  ~ImageFile();
  ImageFile(const ImageFile &) = delete;
  ImageFile &operator=(const ImageFile &) = delete;
  ImageFile(ImageFile &&other) noexcept;
  ImageFile &operator=(ImageFile &&other) noexcept;

  // Opens the file for reading only. Returns false (and keeps errno's text in lastError) when
  // the file cannot be opened or is not a regular file or block device.
  bool open(const std::filesystem::path &path);
  [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
  [[nodiscard]] std::uint64_t size() const { return size_; }
  [[nodiscard]] const std::filesystem::path &path() const { return path_; }
  [[nodiscard]] const std::string &lastError() const { return lastError_; }

  // Reads up to out.size() bytes at offset. Bytes past the end of the file are zero-filled and
  // count as read; only an operating-system error returns false.
  bool readAt(std::uint64_t offset, std::span<std::uint8_t> out) const;

private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::filesystem::path path_;
  mutable std::string lastError_;
};

} // namespace quillon
