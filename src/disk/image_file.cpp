// Read-only image file access with positioned reads.
#include "disk/image_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon {

ImageFile::~ImageFile() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

ImageFile::ImageFile(ImageFile &&other) noexcept
    : fd_(other.fd_), size_(other.size_), path_(std::move(other.path_)),
      lastError_(std::move(other.lastError_)) {
  other.fd_ = -1;
}

ImageFile &ImageFile::operator=(ImageFile &&other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = other.fd_;
    size_ = other.size_;
    path_ = std::move(other.path_);
    lastError_ = std::move(other.lastError_);
    other.fd_ = -1;
  }
  return *this;
}

bool ImageFile::open(const std::filesystem::path &path) {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  path_ = path;
  size_ = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    lastError_ = std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    lastError_ = std::strerror(errno);
    ::close(fd);
    return false;
  }
  if (S_ISREG(st.st_mode)) {
    size_ = static_cast<std::uint64_t>(st.st_size);
  } else if (S_ISBLK(st.st_mode)) {
    std::uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) {
      size_ = bytes;
    }
  } else {
    lastError_ = "not a regular file";
    ::close(fd);
    return false;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  fd_ = fd;
  return true;
}

bool ImageFile::readAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  std::size_t done = 0;
  while (done < out.size()) {
    if (fd_ < 0 || offset + done >= size_ || offset + done < offset) {
      break;
    }
    const ssize_t n =
        ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      lastError_ = std::strerror(errno);
      std::memset(out.data() + done, 0, out.size() - done);
      return false;
    }
    if (n == 0) {
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (done < out.size()) {
    std::memset(out.data() + done, 0, out.size() - done);
  }
  return fd_ >= 0;
}

} // namespace quillon
