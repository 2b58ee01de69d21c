// TableBrowser: the part of an adapter that is the same for every parser whose entry table
// keeps the root folder as record 0 and links records by firstChild / nextSibling pointers with
// a selfIndex (the FAT family). Item data is the record's table index; record 0 is never an
// item of its own. An adapter adds how one record is described, sized and timed.
#pragma once

#include "browse/fs_browser.h"
#include "core/item_tree.h"

#include <string>
#include <utility>

namespace quillon {

template <typename Volume, typename Entry> class TableBrowser : public FsBrowser {
public:
  explicit TableBrowser(Volume &volume) : volume_(volume) {}

  [[nodiscard]] bool owns(const ItemData &data) const override { return entry(data) != nullptr; }

  [[nodiscard]] EntryInfo info(const ItemData &data) const override {
    if (std::holds_alternative<std::monostate>(data)) {
      EntryInfo info;
      info.name = kRootItemText;
      info.folder = true;
      info.hasChildren = !volume_.entries.empty() && volume_.entries[0].firstChild != nullptr;
      return info;
    }
    const Entry *e = entry(data);
    return e == nullptr ? EntryInfo{} : describe(*e);
  }

  [[nodiscard]] std::vector<ItemData> children(const ItemData &folder) const override {
    const Entry *f = std::holds_alternative<std::monostate>(folder)
                         ? (volume_.entries.empty() ? nullptr : &volume_.entries[0])
                         : entry(folder);
    std::vector<ItemData> out;
    if (f == nullptr) {
      return out;
    }
    // The parsers link without cycles; the bound keeps that a local fact.
    const std::size_t bound = volume_.entries.size();
    for (const Entry *c = f->firstChild; c != nullptr && out.size() < bound; c = c->nextSibling) {
      out.emplace_back(static_cast<std::int64_t>(c->selfIndex));
    }
    return out;
  }

  [[nodiscard]] ListTexts listTexts(const ItemData &data) override {
    const Entry *e = entry(data);
    if (e == nullptr) {
      return {};
    }
    const auto texts = volume_.entryTexts(*e);
    return {texts[0], texts[1], texts[2], volume_.sizeText(*e), texts[3]};
  }

  SaveOutcome saveFile(const ItemData &data, const std::filesystem::path &folder,
                       std::string_view asName = {}) override {
    SaveOutcome outcome;
    const Entry *e = entry(data);
    if (e == nullptr) {
      outcome.error = "not a record of this volume";
      return outcome;
    }
    if (auto path = volume_.saveEntryFile(*e, folder, &outcome.error, asName)) {
      outcome.written = true;
      outcome.path = *path;
    }
    return outcome;
  }

  // The advanced mode's record 1 gathers the entries no folder claimed.
  [[nodiscard]] std::optional<ItemData> orphanFolder() const override {
    if constexpr (requires { volume_.advancedMode; }) {
      if (volume_.advancedMode && volume_.entries.size() > 1 &&
          volume_.entries[1].name == "ORPHAN ENTRY") {
        return ItemData{std::int64_t{1}};
      }
    }
    return std::nullopt;
  }

  void rename(const ItemData &data, std::string name) override {
    if (const Entry *e = entry(data)) {
      volume_.entries[e->selfIndex].name = std::move(name);
    }
  }

protected:
  // Name, folder, deleted, children and status size of one record.
  [[nodiscard]] virtual EntryInfo describe(const Entry &entry) const = 0;

  [[nodiscard]] const Entry *entry(const ItemData &data) const {
    const auto *i = std::get_if<std::int64_t>(&data);
    if (i == nullptr || *i <= 0 || static_cast<std::uint64_t>(*i) >= volume_.entries.size()) {
      return nullptr;
    }
    return &volume_.entries[static_cast<std::size_t>(*i)];
  }

  Volume &volume_;
};

} // namespace quillon
