// ItemTree: the check-box tree of found folders and files as plain data. Each item has a text,
// an icon kind, the parser record it stands for, a deleted look, a check state and an expanded
// flag. Check states follow the smart-check rules: checking an item checks every enabled item
// below it, and a parent shows checked, unchecked or tri-state by its descendants. Views (the
// Qt model, the command line) read it; lazy growth and list filling are plain code over it.
//
// Handles are indexes into one vector and stay valid for the life of the tree: items are only
// ever appended, except that a placeholder can be removed and clear() empties everything (after
// which old handles mean nothing). An invalid handle reads as an empty item and changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace quillon {

using ItemHandle = std::size_t;
inline constexpr ItemHandle kNoItem = static_cast<ItemHandle>(-1);

// A parser's record behind an item: a table index (NTFS, FAT, ext) or a catalog node ID (HFS+).
// The ROOT item and placeholders carry none.
using ItemData = std::variant<std::monostate, std::int64_t, std::uint32_t>;

enum class IconKind { Folder, File, Placeholder };

// What the check box shows.
enum class CheckImage { Unchecked, Checked, Tristate };

// Text of the placeholder child that gives an unopened folder its expand button.
inline constexpr char kPlaceholderText[] = "..DUMY..";
// Text of the tree's top item.
inline constexpr char kRootItemText[] = "ROOT";

// Told about every structural change, so that a view model can follow the tree.
class ItemTreeObserver {
public:
  virtual ~ItemTreeObserver() = default;
  virtual void aboutToInsert(ItemHandle parent, std::size_t row) = 0;
  virtual void inserted(ItemHandle item) = 0;
  virtual void aboutToRemove(ItemHandle parent, std::size_t row) = 0;
  virtual void removed() = 0;
  // Text, look, check or expanded state of an item changed.
  virtual void changed(ItemHandle item) = 0;
  virtual void aboutToClear() = 0;
  virtual void cleared() = 0;
};

class ItemTree {
public:
  // Appends an item as the last child of parent (kNoItem: at the top level). The new item takes
  // its parent's check state, as a newly grown child of a checked folder is checked.
  ItemHandle insert(ItemHandle parent, std::string text, IconKind icon, ItemData data = {});
  ItemHandle insertPlaceholder(ItemHandle parent) {
    return insert(parent, kPlaceholderText, IconKind::Placeholder);
  }
  // Removes a placeholder item; false (and nothing changes) for any other item.
  bool removePlaceholder(ItemHandle item);
  // Removes every item.
  void clear();

  [[nodiscard]] bool valid(ItemHandle item) const {
    return item < items_.size() && items_[item].alive;
  }
  // Number of handles ever given out since the last clear (removed placeholders included).
  [[nodiscard]] std::size_t handleCount() const { return items_.size(); }

  // --- navigation ---
  [[nodiscard]] ItemHandle parent(ItemHandle item) const;
  // Children in insertion order; kNoItem gives the top-level items.
  [[nodiscard]] const std::vector<ItemHandle> &children(ItemHandle item) const;
  [[nodiscard]] bool hasChildren(ItemHandle item) const { return !children(item).empty(); }
  [[nodiscard]] ItemHandle firstChild(ItemHandle item) const;
  [[nodiscard]] ItemHandle nextSibling(ItemHandle item) const;
  // Position among its parent's children.
  [[nodiscard]] std::size_t row(ItemHandle item) const;
  // The first top-level item (ROOT), or kNoItem.
  [[nodiscard]] ItemHandle rootItem() const { return top_.empty() ? kNoItem : top_.front(); }
  // True when the item's first child is the placeholder.
  [[nodiscard]] bool hasPlaceholder(ItemHandle item) const;

  // --- item fields ---
  [[nodiscard]] const std::string &text(ItemHandle item) const { return at(item).text; }
  void setText(ItemHandle item, std::string text);
  [[nodiscard]] IconKind icon(ItemHandle item) const { return at(item).icon; }
  [[nodiscard]] const ItemData &data(ItemHandle item) const { return at(item).data; }
  void setData(ItemHandle item, ItemData data) {
    if (valid(item)) {
      items_[item].data = data;
    }
  }
  [[nodiscard]] bool deletedLook(ItemHandle item) const { return at(item).deletedLook; }
  void setDeletedLook(ItemHandle item, bool deleted);
  [[nodiscard]] bool expanded(ItemHandle item) const { return at(item).expanded; }
  void setExpanded(ItemHandle item, bool expanded);

  // --- check boxes ---
  // Sets the item's state; when it changes, every enabled descendant takes it as well and every
  // ancestor becomes checked exactly when all its enabled descendants are checked.
  void setChecked(ItemHandle item, bool checked);
  // An item with descendants counts as checked when all its enabled descendants are; otherwise
  // its own state counts.
  [[nodiscard]] bool isChecked(ItemHandle item) const;
  // Unchecked when no descendant is checked, checked when all enabled ones are, tri-state
  // otherwise; an item without descendants shows its own state.
  [[nodiscard]] CheckImage checkImage(ItemHandle item) const;
  // A disabled item keeps its state when a folder above it is checked or unchecked.
  void setEnabled(ItemHandle item, bool enabled);
  [[nodiscard]] bool enabled(ItemHandle item) const { return at(item).enabled; }

  void setObserver(ItemTreeObserver *observer) { observer_ = observer; }

private:
  struct Counts {
    std::int64_t all = 0;
    std::int64_t disabled = 0;
    std::int64_t checked = 0;
    std::int64_t checkedDisabled = 0;
    Counts &operator+=(const Counts &o) {
      all += o.all;
      disabled += o.disabled;
      checked += o.checked;
      checkedDisabled += o.checkedDisabled;
      return *this;
    }
  };
  struct Item {
    std::string text;
    IconKind icon = IconKind::File;
    ItemData data;
    ItemHandle parent = kNoItem;
    std::vector<ItemHandle> children;
    std::size_t row = 0;
    bool alive = true;
    bool deletedLook = false;
    bool expanded = false;
    bool enabled = true;
    bool checked = false;
    Counts below; // descendants, not the item itself
  };

  [[nodiscard]] const Item &at(ItemHandle item) const;
  // The item's own contribution to its ancestors' counts.
  [[nodiscard]] static Counts selfCounts(const Item &item);
  // Adds delta to the counts of every ancestor of item, from its parent up, and re-derives each
  // ancestor's own state; a state that flips adds to the delta carried further up.
  void propagateUp(ItemHandle item, Counts delta);
  [[nodiscard]] static bool derivedChecked(const Item &item);
  void notifyChanged(ItemHandle item) {
    if (observer_ != nullptr) {
      observer_->changed(item);
    }
  }

  std::vector<Item> items_;
  std::vector<ItemHandle> top_;
  ItemTreeObserver *observer_ = nullptr;
};

} // namespace quillon
