// Output files: turning names read from a volume into safe path components, creating files and
// folders only inside the chosen output folder (never through a symbolic link planted there),
// writing them with holes for runs of zeros, and giving them the times recorded on the volume.
#pragma once

#include "core/byte_order.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// Longest file name, in bytes, that the common Linux file systems accept.
inline constexpr std::size_t kMaxNameBytes = 255;

// One path component made from a name read from a volume:
// - leading and trailing white space is removed;
// - '/', '\\', NUL, the other control characters and DEL become '_';
// - a name longer than kMaxNameBytes is shortened, keeping its extension (when it has a short
//   one) and never cutting a UTF-8 sequence in half.
// Returns an empty string when the name is refused: empty, only white space, "." or "..".
// Callers treat an empty result as "cannot be saved under this name"; it is never a name.
[[nodiscard]] std::string safeComponent(std::string_view name);

// folder / safeComponent(name); nullopt when the name is refused. The result is always a direct
// child of folder.
[[nodiscard]] std::optional<std::filesystem::path> pathInside(const std::filesystem::path &folder,
                                                              std::string_view name);

// Creates folder / safeComponent(name) as a folder (an existing folder is fine, a symbolic link
// or a file of that name is not). Returns the folder, or nullopt with why in error.
[[nodiscard]] std::optional<std::filesystem::path>
makeFolderInside(const std::filesystem::path &folder, std::string_view name,
                 std::string *error = nullptr);

// parent / name when nothing of that name exists, else parent / name1, name2, ... for the first
// that does not exist (up to 9999; past that parent / name is returned). name is made safe first.
[[nodiscard]] std::filesystem::path uniqueFolder(const std::filesystem::path &parent,
                                                 std::string_view name);

// A Unix time with nanoseconds.
struct FileTime {
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
};

// Windows FILETIME (100 ns ticks since 1601) to a Unix time; nullopt for 0 and for values past
// the year 30827.
[[nodiscard]] std::optional<FileTime> fileTimeFromFiletime(std::uint64_t filetime);

// Sets the last-access and last-modification times of path (not following a symbolic link).
// A missing time is left as it is. Returns false when the system refused.
bool setFileTimes(const std::filesystem::path &path, std::optional<std::int64_t> accessUnix,
                  std::optional<std::int64_t> modifyUnix);
// The same from FILETIMEs, to 100 ns; a FILETIME of 0 is left as it is.
bool setFileTimesFromFiletime(const std::filesystem::path &path, std::uint64_t accessFiletime,
                              std::uint64_t modifyFiletime);

// One file being written into the output folder. open() creates or truncates folder / name
// (name made safe) with O_NOFOLLOW, so a symbolic link planted under that name is refused
// rather than followed, and anything but a regular file is refused too. Zeros given to
// skipZeros become holes where the file system has them. close() sets the file's length,
// applies the times given to setTimes and reports any failure; the destructor closes quietly.
// For the save functions that return the path written or nothing: puts why into *error (when
// the caller asked for it) and gives the empty result.
inline std::optional<std::filesystem::path> saveFailed(std::string *error, std::string why) {
  if (error != nullptr) {
    *error = std::move(why);
  }
  return std::nullopt;
}

class OutputFile {
public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile &) = delete;
  OutputFile &operator=(const OutputFile &) = delete;
  OutputFile(OutputFile &&other) noexcept;
  OutputFile &operator=(OutputFile &&other) noexcept;

  bool open(const std::filesystem::path &folder, std::string_view name);
  bool write(Bytes data);
  // count zero bytes, as a hole.
  bool skipZeros(std::uint64_t count);
  void setTimes(std::optional<FileTime> access, std::optional<FileTime> modify);
  bool close();

  [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
  [[nodiscard]] const std::filesystem::path &path() const { return path_; }
  [[nodiscard]] std::uint64_t size() const { return size_; }
  // Why the last operation failed ("" when none did).
  [[nodiscard]] const std::string &error() const { return error_; }

private:
  bool fail(std::string what, int err);

  int fd_ = -1;
  std::filesystem::path path_;
  std::uint64_t size_ = 0; // bytes written or skipped so far
  bool holeAtEnd_ = false; // the last bytes were skipped, so the length must be set
  std::optional<FileTime> access_;
  std::optional<FileTime> modify_;
  std::string error_;
};

} // namespace quillon
