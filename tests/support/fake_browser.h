// FakeBrowser: an FsBrowser over a small table built in a test, so that tree growth, saving,
// searching and listing are tested without any file system. Records are table indexes; a
// folder's children are an explicit list, so loops and odd chains are easy to set up.
#pragma once

#include "browse/fs_browser.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillon::test {

struct FakeRecord {
  std::string name;
  bool folder = false;
  bool deleted = false;
  std::string content;
  std::vector<std::int64_t> children;
  std::int64_t modified = 1600000000; // Unix seconds
};

class FakeBrowser final : public FsBrowser {
public:
  // Index 0 stays unused so that a record is never 0.
  FakeBrowser() { records.push_back({}); }

  // Adds a record under parent (-1: the top level); returns its index.
  std::int64_t add(std::int64_t parent, std::string name, bool folder, std::string content = {},
                   bool deleted = false);
  std::int64_t folder(std::int64_t parent, std::string name, bool deleted = false) {
    return add(parent, std::move(name), true, {}, deleted);
  }
  std::int64_t file(std::int64_t parent, std::string name, std::string content = {},
                    bool deleted = false) {
    return add(parent, std::move(name), false, std::move(content), deleted);
  }
  FakeRecord &at(std::int64_t index) { return records[static_cast<std::size_t>(index)]; }

  [[nodiscard]] bool owns(const ItemData &data) const override;
  [[nodiscard]] EntryInfo info(const ItemData &data) const override;
  [[nodiscard]] std::vector<ItemData> children(const ItemData &folder) const override;
  [[nodiscard]] ListTexts listTexts(const ItemData &data) override;
  [[nodiscard]] std::uint64_t dataSize(const ItemData &data) override;
  [[nodiscard]] EntryTimes times(const ItemData &data) override;
  SaveOutcome saveFile(const ItemData &data, const std::filesystem::path &folder,
                       std::string_view asName = {}) override;
  void rename(const ItemData &data, std::string name) override;
  [[nodiscard]] std::optional<ItemData> orphanFolder() const override;

  std::vector<FakeRecord> records;
  std::vector<std::int64_t> top;
  std::optional<std::int64_t> orphan;
  std::vector<std::int64_t> saved; // records saveFile was asked for, in order

private:
  [[nodiscard]] const FakeRecord *record(const ItemData &data) const;
};

} // namespace quillon::test
