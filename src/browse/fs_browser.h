// FsBrowser: what the scan page needs from one file system's parser, so that tree growth, list
// rows, saving and searching are written once. Each file system adds an adapter over its own
// entry table (NtfsBrowser for NTFS); the item data of the tree (a table index or a catalog node
// ID) is the key into that table. The empty item data (std::monostate) stands for ROOT, whose
// children are the volume's top level.
#pragma once

#include "core/item_tree.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillon {

// What tree growth and the walks need to know about one record.
struct EntryInfo {
  std::string name;
  bool folder = false;
  bool deleted = false;         // drawn red where the event asks for it
  bool hasChildren = false;     // a folder that gets a placeholder before it is opened
  std::uint64_t statusSize = 0; // the size shown in "File size: ... kb" while saving
};

// The detail columns of a list row, in list order after the name.
struct ListTexts {
  std::string created;
  std::string accessed;
  std::string modified;
  std::string size;
  std::string attributes;
};

// Times as Unix seconds (UTC); absent when the volume holds none.
struct EntryTimes {
  std::optional<std::int64_t> created;
  std::optional<std::int64_t> modified;
  std::optional<std::int64_t> accessed;
};

struct SaveOutcome {
  bool written = false;
  std::filesystem::path path; // the file written
  std::string error;          // why nothing was written
};

class FsBrowser {
public:
  FsBrowser() = default;
  virtual ~FsBrowser() = default;
  FsBrowser(const FsBrowser &) = delete;
  FsBrowser &operator=(const FsBrowser &) = delete;

  // True when the data is one of this parser's records (a click on anything else does nothing).
  [[nodiscard]] virtual bool owns(const ItemData &data) const = 0;
  // ROOT (empty data) answers as a folder named ROOT.
  [[nodiscard]] virtual EntryInfo info(const ItemData &data) const = 0;
  // The records directly inside a folder, in the parser's chain order; ROOT gives the top level.
  // The walk over on-disk links is bounded: a chain that loops ends.
  [[nodiscard]] virtual std::vector<ItemData> children(const ItemData &folder) const = 0;
  [[nodiscard]] virtual ListTexts listTexts(const ItemData &data) = 0;
  // The attribute column alone (what a listing prints beside the times); adapters whose other
  // texts cost more than the attributes give it directly.
  [[nodiscard]] virtual std::string attributesText(const ItemData &data) {
    return listTexts(data).attributes;
  }
  // Bytes a saved copy of the file gets.
  [[nodiscard]] virtual std::uint64_t dataSize(const ItemData &data) = 0;
  [[nodiscard]] virtual EntryTimes times(const ItemData &data) = 0;
  // Writes one file into folder under a safe form of its name (or of asName when given), with
  // its times.
  virtual SaveOutcome saveFile(const ItemData &data, const std::filesystem::path &folder,
                               std::string_view asName = {}) = 0;
  // Gives a record another name (the Recycle Bin renaming); the tree's texts are not touched.
  virtual void rename(const ItemData &data, std::string name) = 0;

  // The folder that gathers entries whose parent is unknown, when the volume has one.
  [[nodiscard]] virtual std::optional<ItemData> orphanFolder() const { return std::nullopt; }

  // Whether the walks (count, save, search) go into this folder. Default: every folder except
  // one named "." (a self-reference).
  [[nodiscard]] virtual bool walkInto(const EntryInfo &folder) const { return folder.name != "."; }
  // Whether saving writes this file, which is counted either way.
  [[nodiscard]] virtual bool writesFile(const EntryInfo &) const { return true; }

  // The whole data of a small file; nullopt when it is larger than limit or cannot be read.
  // The default saves it into a private temporary folder and reads it back.
  [[nodiscard]] virtual std::optional<std::vector<std::uint8_t>> readSmallFile(const ItemData &data,
                                                                               std::size_t limit);
};

// Deepest folder nesting the walks follow; deeper folders are skipped, never recursed into.
inline constexpr std::size_t kMaxFolderDepth = 1024;

} // namespace quillon
