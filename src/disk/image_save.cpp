// Disk-image save worker.
#include "disk/image_save.h"

#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quillon {

namespace {

constexpr char kInsufficientSpace[] = "Insufficient Disk Space in saving Location";

// Closes the descriptor when it goes out of scope.
struct FdCloser {
  int fd = -1;
  ~FdCloser() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
};

bool allZero(const std::uint8_t *p, std::size_t n) {
  return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

bool writeAllAt(int fd, const std::uint8_t *p, std::size_t n, std::uint64_t offset) {
  while (n > 0) {
    const ssize_t w = ::pwrite(fd, p, n, static_cast<off_t>(offset));
    if (w < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
    offset += static_cast<std::uint64_t>(w);
  }
  return true;
}

// Writes the non-zero parts of a chunk at offset, in pieces of whole 64 KiB blocks, and leaves
// the all-zero blocks as holes: the file reads the same, and unallocated parts of the disk cost
// neither writes nor space.
bool writeSparse(int fd, const std::uint8_t *p, std::size_t n, std::uint64_t offset) {
  constexpr std::size_t kBlock = 64 * 1024;
  std::size_t start = 0;
  while (start < n) {
    while (start < n && allZero(p + start, std::min(kBlock, n - start))) {
      start += kBlock;
    }
    std::size_t end = start;
    while (end < n && !allZero(p + end, std::min(kBlock, n - end))) {
      end += kBlock;
    }
    end = std::min(end, n);
    if (end > start && !writeAllAt(fd, p + start, end - start, offset + start)) {
      return false;
    }
    start = end;
  }
  return true;
}

// Reads the disk in chunks on its own thread, one chunk ahead of the writer, so that reading
// the image and writing the copy overlap. Chunks come out in disk order.
class ChunkReader {
public:
  struct Chunk {
    std::vector<std::uint8_t> data = std::vector<std::uint8_t>(kImageSaveChunk);
    std::uint64_t length = 0;
    bool readOk = true;
    int error = 0;
  };

  ChunkReader(readWriteInterface &reader, std::uint64_t total) : reader_(reader), total_(total) {
    thread_ = std::thread([this] { run(); });
  }
  ~ChunkReader() { finish(); }
  ChunkReader(const ChunkReader &) = delete;
  ChunkReader &operator=(const ChunkReader &) = delete;

  // The next chunk in order; it stays valid until release().
  const Chunk *next() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return filled_ > 0; });
    return &chunks_[head_];
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      head_ = (head_ + 1) % chunks_.size();
      --filled_;
    }
    changed_.notify_all();
  }
  // Ends the reading thread (early when the writer stopped).
  void finish() {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
      thread_.join();
    }
  }

private:
  void run() {
    (void)reader_.seek(0);
    std::size_t tail = 0;
    for (std::uint64_t offset = 0; offset < total_;) {
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return cancelled_ || filled_ < chunks_.size(); });
        if (cancelled_) {
          return;
        }
      }
      Chunk &c = chunks_[tail];
      c.length = std::min(kImageSaveChunk, total_ - offset);
      errno = 0;
      c.readOk = reader_.read(c.data.data(), c.length);
      c.error = errno;
      offset += c.length;
      {
        std::lock_guard lock(mutex_);
        tail = (tail + 1) % chunks_.size();
        ++filled_;
      }
      changed_.notify_all();
      if (!c.readOk) {
        return;
      }
    }
  }

  readWriteInterface &reader_;
  std::uint64_t total_;
  std::array<Chunk, 2> chunks_;
  std::size_t head_ = 0;
  std::size_t filled_ = 0;
  bool cancelled_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
};

// Reserves total bytes for the file to learn, before anything is written, whether the disk can
// hold it. Returns 0, ENOSPC, or another errno.
int reserveSpace(int fd, const std::filesystem::path &output, std::uint64_t total) {
  if (total == 0) {
    return 0;
  }
  const int rc = ::posix_fallocate(fd, 0, static_cast<off_t>(total));
  if (rc == 0 || rc == ENOSPC || rc == EFBIG) {
    return rc == 0 ? 0 : ENOSPC;
  }
  // The file system cannot reserve space: compare with what it reports free.
  struct statvfs vfs {};
  if (::statvfs(output.parent_path().c_str(), &vfs) == 0 &&
      static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize < total) {
    return ENOSPC;
  }
  return 0;
}

} // namespace

std::filesystem::path imageOutputPath(const std::filesystem::path &folder,
                                      const std::filesystem::path &imagePath) {
  const std::string name = imagePath.filename().string();
  const std::string base = name.empty() ? "Recovered_diskimg" : name;
  const std::string first = name.empty() ? "Recovered_diskimg.img" : name + ".img";
  std::filesystem::path candidate = folder / first;
  std::error_code ec;
  for (unsigned n = 1; std::filesystem::exists(candidate, ec); ++n) {
    candidate = folder / (std::to_string(n) + (name.empty() ? first : base + ".img"));
  }
  return candidate;
}

ImageSaveResult saveDiskImage(const ReaderChoice &choice, const std::filesystem::path &imagePath,
                              const std::filesystem::path &output, Progress &progress,
                              WorkerControl &control) {
  ImageSaveResult result;
  imageSaveActive = true;
  std::string openError;
  // Every way out releases the reader and clears the flag.
  struct Cleanup {
    ~Cleanup() {
      activeReader.reset();
      diskSectorCount = 0;
      imageSaveActive = false;
    }
  } cleanup;

  if (!openActiveReader(choice, imagePath, progress, openError)) {
    result.error = "cannot open the image: " + openError;
    return result;
  }
  readWriteInterface &reader = *activeReader;
  const std::uint64_t sectors =
      diskSectorCount != 0 ? diskSectorCount : reader.imageSize / kSectorSize;
  const std::uint64_t total = sectors * kSectorSize;

  FdCloser out;
  out.fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out.fd < 0) {
    progress.inform("File cannot be Created");
    result.error = format("cannot create %s: %s", output.c_str(), std::strerror(errno));
    return result;
  }
  if (const int rc = reserveSpace(out.fd, output, total); rc != 0) {
    progress.inform(kInsufficientSpace);
    ::close(out.fd);
    out.fd = -1;
    std::error_code ec;
    std::filesystem::remove(output, ec);
    result.error = kInsufficientSpace;
    return result;
  }
  // Start from a new, empty file: ranges of zeros are then left as holes instead of written,
  // and the file system does not treat the file as one being truncated and rewritten.
  ::close(out.fd);
  out.fd = -1;
  std::error_code removeError;
  std::filesystem::remove(output, removeError);
  out.fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out.fd < 0) {
    progress.inform("Disk Image file cannot be created");
    result.error = format("cannot create %s: %s", output.c_str(), std::strerror(errno));
    return result;
  }

  progress.setRange(0, sectors & 0xFFFFFFFFULL);
  progress.setPosition(0);
  const std::string totalMB = format("%lld", static_cast<long long>(total / 1048576));
  const std::string totalGB =
      format("%Lf", static_cast<long double>(total) / static_cast<long double>(1ULL << 30));

  ChunkReader chunks(reader, total);
  std::uint64_t done = 0;
  bool failed = false;
  while (done < total) {
    const ChunkReader::Chunk *chunk = chunks.next();
    if (!chunk->readOk) {
      progress.setStatus(format("Exit with error number %d", chunk->error));
      result.error = "cannot read the image: " + reader.lastError();
      failed = true;
      break;
    }
    const std::uint64_t n = chunk->length;
    if (!writeSparse(out.fd, chunk->data.data(), n, done)) {
      const int err = errno;
      if (err == ENOSPC) {
        progress.inform(kInsufficientSpace);
        result.error = kInsufficientSpace;
      } else {
        progress.inform(format("Error %d while writing in File", err));
        result.error = format("cannot write %s: %s", output.c_str(), std::strerror(err));
      }
      failed = true;
      break;
    }
    chunks.release();
    done += n;
    if (control.stopRequested()) {
      control.clearStop();
      result.stopped = true;
      break;
    }
    (void)control.checkpoint();
    if (done % (2 * kImageSaveChunk) == 0) {
      progress.setPosition(done / kSectorSize);
    }
    progress.setStatus(format("%lld MB of %s MB or %Lf GB of %s GB Saved",
                              static_cast<long long>(done / 1048576), totalMB.c_str(),
                              static_cast<long double>(done) / static_cast<long double>(1ULL << 30),
                              totalGB.c_str()));
  }
  chunks.finish();
  // Skipped zeros at the end still belong to the file.
  if (::ftruncate(out.fd, static_cast<off_t>(done)) != 0 && !failed) {
    failed = true;
    result.error = format("cannot write %s: %s", output.c_str(), std::strerror(errno));
  }
  if (::close(out.fd) != 0 && !failed) {
    failed = true;
    result.error = format("cannot write %s: %s", output.c_str(), std::strerror(errno));
  }
  out.fd = -1;
  result.written = done;
  result.ok = !failed && !result.stopped;
  progress.setStatus(kImageSavedText);
  return result;
}

} // namespace quillon
