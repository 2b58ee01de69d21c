// TempDir: a fresh folder under the temporary folder, removed with everything in it when the
// test ends.
#pragma once

#include <filesystem>

namespace quillon::test {

class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  [[nodiscard]] const std::filesystem::path &path() const { return path_; }
  [[nodiscard]] std::filesystem::path operator/(const std::filesystem::path &p) const {
    return path_ / p;
  }

private:
  std::filesystem::path path_;
};

} // namespace quillon::test
