// Safe names, folders, file times and the output file writer.
#include "core/output_files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace quillon {

namespace {

// An extension longer than this is treated as part of the name when shortening.
constexpr std::size_t kMaxKeptExtension = 32;
constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kTicksFrom1601To1970 = 116'444'736'000'000'000;
constexpr unsigned kMaxUniqueSuffix = 9999;

bool isWhiteSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && isWhiteSpace(s.front())) {
    s.remove_prefix(1);
  }
  while (!s.empty() && isWhiteSpace(s.back())) {
    s.remove_suffix(1);
  }
  return s;
}

// Largest length <= limit that does not end inside a UTF-8 sequence of s.
std::size_t utf8Cut(std::string_view s, std::size_t limit) {
  if (limit >= s.size()) {
    return s.size();
  }
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  return cut;
}

std::string shortened(const std::string &name) {
  if (name.size() <= kMaxNameBytes) {
    return name;
  }
  std::string_view ext;
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0 && name.size() - dot <= kMaxKeptExtension) {
    ext = std::string_view(name).substr(dot);
  }
  std::string_view stem = std::string_view(name).substr(0, name.size() - ext.size());
  stem = stem.substr(0, utf8Cut(stem, kMaxNameBytes - ext.size()));
  while (!stem.empty() && isWhiteSpace(stem.back())) {
    stem.remove_suffix(1);
  }
  std::string out(stem);
  out += ext;
  return out;
}

timespec toTimespec(const std::optional<FileTime> &t) {
  timespec ts{};
  if (!t) {
    ts.tv_nsec = UTIME_OMIT;
    return ts;
  }
  ts.tv_sec = static_cast<time_t>(t->seconds);
  ts.tv_nsec = static_cast<long>(t->nanoseconds);
  return ts;
}

std::optional<FileTime> fromUnix(std::optional<std::int64_t> seconds) {
  if (!seconds) {
    return std::nullopt;
  }
  return FileTime{*seconds, 0};
}

bool setTimesAt(const std::filesystem::path &path, const std::optional<FileTime> &access,
                const std::optional<FileTime> &modify) {
  if (!access && !modify) {
    return true;
  }
  const timespec times[2] = {toTimespec(access), toTimespec(modify)};
  return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace

std::string safeComponent(std::string_view name) {
  const std::string_view t = trimmed(name);
  if (t.empty() || t == "." || t == "..") {
    return {};
  }
  std::string out(t);
  for (char &c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '/' || c == '\\') {
      c = '_';
    }
  }
  return shortened(out);
}

std::optional<std::filesystem::path> pathInside(const std::filesystem::path &folder,
                                                std::string_view name) {
  std::string safe = safeComponent(name);
  if (safe.empty()) {
    return std::nullopt;
  }
  return folder / safe;
}

std::optional<std::filesystem::path> makeFolderInside(const std::filesystem::path &folder,
                                                      std::string_view name, std::string *error) {
  const auto setError = [&](std::string text) {
    if (error != nullptr) {
      *error = std::move(text);
    }
  };
  auto path = pathInside(folder, name);
  if (!path) {
    setError("the name cannot be used for a folder");
    return std::nullopt;
  }
  if (::mkdir(path->c_str(), 0755) != 0) {
    const int err = errno;
    struct stat st {};
    if (err != EEXIST || ::lstat(path->c_str(), &st) != 0) {
      setError(path->string() + ": " + std::strerror(err));
      return std::nullopt;
    }
    if (!S_ISDIR(st.st_mode)) {
      setError(path->string() + ": exists and is not a folder");
      return std::nullopt;
    }
  }
  return path;
}

std::filesystem::path uniqueFolder(const std::filesystem::path &parent, std::string_view name) {
  std::string base = safeComponent(name);
  if (base.empty()) {
    base = "_";
  }
  std::error_code ec;
  for (unsigned n = 0; n <= kMaxUniqueSuffix; ++n) {
    std::string candidate = base;
    if (n > 0) {
      const std::string suffix = std::to_string(n);
      candidate = base.substr(0, utf8Cut(base, kMaxNameBytes - suffix.size())) + suffix;
    }
    auto path = parent / candidate;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
      return path;
    }
  }
  return parent / base;
}

std::optional<FileTime> fileTimeFromFiletime(std::uint64_t filetime) {
  if (filetime == 0 || filetime >= 0x7FFFFFFFFFFFFFFFULL) {
    return std::nullopt;
  }
  const std::int64_t ticks = static_cast<std::int64_t>(filetime) - kTicksFrom1601To1970;
  std::int64_t seconds = ticks / kTicksPerSecond;
  std::int64_t rest = ticks % kTicksPerSecond;
  if (rest < 0) { // before 1970: round the seconds down so the nanoseconds stay positive
    rest += kTicksPerSecond;
    --seconds;
  }
  return FileTime{seconds, static_cast<std::uint32_t>(rest * 100)};
}

bool setFileTimes(const std::filesystem::path &path, std::optional<std::int64_t> accessUnix,
                  std::optional<std::int64_t> modifyUnix) {
  return setTimesAt(path, fromUnix(accessUnix), fromUnix(modifyUnix));
}

bool setFileTimesFromFiletime(const std::filesystem::path &path, std::uint64_t accessFiletime,
                              std::uint64_t modifyFiletime) {
  return setTimesAt(path, fileTimeFromFiletime(accessFiletime),
                    fileTimeFromFiletime(modifyFiletime));
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

OutputFile::OutputFile(OutputFile &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), size_(other.size_),
      holeAtEnd_(other.holeAtEnd_), access_(other.access_), modify_(other.modify_),
      error_(std::move(other.error_)) {}

OutputFile &OutputFile::operator=(OutputFile &&other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    size_ = other.size_;
    holeAtEnd_ = other.holeAtEnd_;
    access_ = other.access_;
    modify_ = other.modify_;
    error_ = std::move(other.error_);
  }
  return *this;
}

bool OutputFile::fail(std::string what, int err) {
  error_ = path_.string() + ": " + std::move(what);
  if (err != 0) {
    error_ += std::string(": ") + std::strerror(err);
  }
  return false;
}

bool OutputFile::open(const std::filesystem::path &folder, std::string_view name) {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  size_ = 0;
  holeAtEnd_ = false;
  access_.reset();
  modify_.reset();
  error_.clear();
  const std::string safe = safeComponent(name);
  path_ = folder / safe;
  if (safe.empty()) {
    return fail("the name cannot be used for a file", 0);
  }
  // O_NOFOLLOW refuses a symbolic link planted under the name; O_NONBLOCK keeps a FIFO planted
  // there from blocking the open (it is refused below).
  const int fd = ::open(path_.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  const int openErr = errno;
  if (fd < 0) {
    return fail(openErr == ELOOP ? "is a symbolic link; not written through it" : "cannot create",
                openErr == ELOOP ? 0 : openErr);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail("exists and is not a regular file", 0);
  }
  fd_ = fd;
  return true;
}

bool OutputFile::write(Bytes data) {
  if (fd_ < 0) {
    return fail("not open", 0);
  }
  const std::uint8_t *p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return fail("cannot write", errno);
    }
    if (n == 0) {
      return fail("cannot write", ENOSPC);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
    size_ += static_cast<std::uint64_t>(n);
  }
  if (!data.empty()) {
    holeAtEnd_ = false;
  }
  return true;
}

bool OutputFile::skipZeros(std::uint64_t count) {
  if (fd_ < 0) {
    return fail("not open", 0);
  }
  if (count == 0) {
    return true;
  }
  constexpr std::uint64_t kMaxOffset = 0x7FFFFFFFFFFFFFFFULL;
  if (count > kMaxOffset - size_) {
    return fail("too large", EFBIG);
  }
  if (::lseek(fd_, static_cast<off_t>(size_ + count), SEEK_SET) < 0) {
    return fail("cannot seek", errno);
  }
  size_ += count;
  holeAtEnd_ = true;
  return true;
}

void OutputFile::setTimes(std::optional<FileTime> access, std::optional<FileTime> modify) {
  access_ = access;
  modify_ = modify;
}

bool OutputFile::close() {
  if (fd_ < 0) {
    return error_.empty();
  }
  bool ok = true;
  // A hole at the end only moved the position; the length must cover it.
  if (holeAtEnd_ && ::ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
    ok = fail("cannot set the length", errno);
  }
  // After the length, since setting the length changes the modification time.
  if (ok && (access_ || modify_)) {
    const timespec times[2] = {toTimespec(access_), toTimespec(modify_)};
    if (::futimens(fd_, times) != 0) {
      ok = fail("cannot set the file times", errno);
    }
  }
  if (::close(fd_) != 0 && ok) {
    ok = fail("cannot close", errno);
  }
  fd_ = -1;
  return ok && error_.empty();
}

} // namespace quillon
