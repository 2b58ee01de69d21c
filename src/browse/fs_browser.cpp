// The file-system-independent part of FsBrowser: reading a small file back through the save
// routine, as the Recycle Bin renaming does for the index files.
#include "browse/fs_browser.h"

#include <cstdlib>
#include <fstream>

namespace quillon {

namespace {

// A fresh folder under the temporary folder, removed with its contents when it goes out of scope.
class ScratchFolder {
public:
  ScratchFolder() {
    std::error_code ec;
    const auto base = std::filesystem::temp_directory_path(ec);
    if (ec) {
      return;
    }
    std::string pattern = (base / "quillon-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
    }
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path_.empty()) {
      std::filesystem::remove_all(path_, ec);
    }
  }
  ScratchFolder(const ScratchFolder &) = delete;
  ScratchFolder &operator=(const ScratchFolder &) = delete;
  [[nodiscard]] const std::filesystem::path &path() const { return path_; }

private:
  std::filesystem::path path_;
};

} // namespace

std::optional<std::vector<std::uint8_t>> FsBrowser::readSmallFile(const ItemData &data,
                                                                  std::size_t limit) {
  const ScratchFolder scratch;
  if (scratch.path().empty()) {
    return std::nullopt;
  }
  const SaveOutcome saved = saveFile(data, scratch.path());
  if (!saved.written) {
    return std::nullopt;
  }
  std::error_code ec;
  const auto size = std::filesystem::file_size(saved.path, ec);
  if (ec || size > limit) {
    return std::nullopt;
  }
  std::ifstream in(saved.path, std::ios::binary);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  if (!in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(size))) {
    return std::nullopt;
  }
  return bytes;
}

} // namespace quillon
