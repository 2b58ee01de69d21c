// A table-backed FsBrowser for the browse tests.
#include "support/fake_browser.h"

#include "core/output_files.h"

#include <fstream>

namespace quillon::test {

std::int64_t FakeBrowser::add(std::int64_t parent, std::string name, bool folder,
                              std::string content, bool deleted) {
  const auto index = static_cast<std::int64_t>(records.size());
  FakeRecord r;
  r.name = std::move(name);
  r.folder = folder;
  r.deleted = deleted;
  r.content = std::move(content);
  records.push_back(std::move(r));
  if (parent < 0) {
    top.push_back(index);
  } else {
    at(parent).children.push_back(index);
  }
  return index;
}

const FakeRecord *FakeBrowser::record(const ItemData &data) const {
  const auto *i = std::get_if<std::int64_t>(&data);
  if (i == nullptr || *i <= 0 || static_cast<std::size_t>(*i) >= records.size()) {
    return nullptr;
  }
  return &records[static_cast<std::size_t>(*i)];
}

bool FakeBrowser::owns(const ItemData &data) const { return record(data) != nullptr; }

EntryInfo FakeBrowser::info(const ItemData &data) const {
  EntryInfo info;
  if (std::holds_alternative<std::monostate>(data)) {
    info.name = kRootItemText;
    info.folder = true;
    info.hasChildren = !top.empty();
    return info;
  }
  if (const FakeRecord *r = record(data)) {
    info.name = r->name;
    info.folder = r->folder;
    info.deleted = r->deleted;
    info.hasChildren = !r->children.empty();
    info.statusSize = r->content.size();
  }
  return info;
}

std::vector<ItemData> FakeBrowser::children(const ItemData &folder) const {
  const std::vector<std::int64_t> *list = nullptr;
  if (std::holds_alternative<std::monostate>(folder)) {
    list = &top;
  } else if (const FakeRecord *r = record(folder)) {
    list = &r->children;
  }
  return list == nullptr ? std::vector<ItemData>{}
                         : std::vector<ItemData>(list->begin(), list->end());
}

ListTexts FakeBrowser::listTexts(const ItemData &data) {
  ListTexts t;
  if (const FakeRecord *r = record(data)) {
    t.created = "c:" + r->name;
    t.accessed = "a:" + r->name;
    t.modified = "m:" + r->name;
    t.size = std::to_string(r->content.size()) + " Bytes";
    t.attributes = r->deleted ? "-D" : "-A";
  }
  return t;
}

std::uint64_t FakeBrowser::dataSize(const ItemData &data) {
  const FakeRecord *r = record(data);
  return r == nullptr ? 0 : r->content.size();
}

EntryTimes FakeBrowser::times(const ItemData &data) {
  const FakeRecord *r = record(data);
  if (r == nullptr) {
    return {};
  }
  return {r->modified, r->modified, r->modified};
}

SaveOutcome FakeBrowser::saveFile(const ItemData &data, const std::filesystem::path &folder,
                                  std::string_view asName) {
  SaveOutcome outcome;
  const FakeRecord *r = record(data);
  if (r == nullptr) {
    outcome.error = "not a record";
    return outcome;
  }
  saved.push_back(std::get<std::int64_t>(data));
  OutputFile out;
  if (!out.open(folder, asName.empty() ? r->name : std::string(asName))) {
    outcome.error = out.error();
    return outcome;
  }
  out.write(Bytes(reinterpret_cast<const std::uint8_t *>(r->content.data()), r->content.size()));
  outcome.path = out.path();
  outcome.written = out.close();
  if (!outcome.written) {
    outcome.error = out.error();
  }
  return outcome;
}

void FakeBrowser::rename(const ItemData &data, std::string name) {
  if (const auto *i = std::get_if<std::int64_t>(&data); i != nullptr && record(data) != nullptr) {
    at(*i).name = std::move(name);
  }
}

std::optional<ItemData> FakeBrowser::orphanFolder() const {
  if (!orphan) {
    return std::nullopt;
  }
  return ItemData{*orphan};
}

} // namespace quillon::test
