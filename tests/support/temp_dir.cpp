// Temporary folders for tests.
#include "support/temp_dir.h"

#include <cstdlib>
#include <string>

namespace quillon::test {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "quillon-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) != nullptr) {
    path_ = tmpl;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) {
    std::filesystem::remove_all(path_, ec);
  }
}

} // namespace quillon::test
