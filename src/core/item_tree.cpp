// The check-box tree as data: insertion, placeholder removal, navigation and smart checking.
// Every item keeps counts of its descendants (all, disabled, checked, checked and disabled), so
// that a check image is answered at once and a change costs its subtree plus its ancestors.
#include "core/item_tree.h"

#include <algorithm>

namespace quillon {

namespace {

const std::vector<ItemHandle> kNoChildren;

} // namespace

const ItemTree::Item &ItemTree::at(ItemHandle item) const {
  // An invalid handle reads as an empty item rather than failing: a view may still hold a
  // handle from before a clear.
  static const Item kEmpty{};
  return valid(item) ? items_[item] : kEmpty;
}

ItemTree::Counts ItemTree::selfCounts(const Item &item) {
  Counts c;
  c.all = 1;
  c.disabled = item.enabled ? 0 : 1;
  c.checked = item.checked ? 1 : 0;
  c.checkedDisabled = (item.checked && !item.enabled) ? 1 : 0;
  return c;
}

bool ItemTree::derivedChecked(const Item &item) {
  const std::int64_t enabledBelow = item.below.all - item.below.disabled;
  if (enabledBelow <= 0) {
    return item.checked;
  }
  return item.below.checked - item.below.checkedDisabled == enabledBelow;
}

void ItemTree::propagateUp(ItemHandle item, Counts delta) {
  ItemHandle p = items_[item].parent;
  while (p != kNoItem) {
    Item &a = items_[p];
    a.below += delta;
    const bool own = derivedChecked(a);
    if (own != a.checked) {
      a.checked = own;
      const std::int64_t step = own ? 1 : -1;
      delta.checked += step;
      if (!a.enabled) {
        delta.checkedDisabled += step;
      }
    }
    notifyChanged(p);
    p = a.parent;
  }
}

ItemHandle ItemTree::insert(ItemHandle parent, std::string text, IconKind icon, ItemData data) {
  if (parent != kNoItem && !valid(parent)) {
    return kNoItem;
  }
  const ItemHandle handle = items_.size();
  std::vector<ItemHandle> &siblings = parent == kNoItem ? top_ : items_[parent].children;
  if (observer_ != nullptr) {
    observer_->aboutToInsert(parent, siblings.size());
  }
  Item item;
  item.text = std::move(text);
  item.icon = icon;
  item.data = data;
  item.parent = parent;
  item.row = siblings.size();
  item.checked = parent != kNoItem && isChecked(parent);
  const Counts self = selfCounts(item);
  items_.push_back(std::move(item));
  // items_ may have moved: take the sibling list again.
  (parent == kNoItem ? top_ : items_[parent].children).push_back(handle);
  propagateUp(handle, self);
  if (observer_ != nullptr) {
    observer_->inserted(handle);
  }
  return handle;
}

bool ItemTree::removePlaceholder(ItemHandle item) {
  if (!valid(item) || items_[item].icon != IconKind::Placeholder ||
      !items_[item].children.empty()) {
    return false;
  }
  const ItemHandle parent = items_[item].parent;
  std::vector<ItemHandle> &siblings = parent == kNoItem ? top_ : items_[parent].children;
  const std::size_t row = items_[item].row;
  if (observer_ != nullptr) {
    observer_->aboutToRemove(parent, row);
  }
  Counts minus = selfCounts(items_[item]);
  minus.all = -minus.all;
  minus.disabled = -minus.disabled;
  minus.checked = -minus.checked;
  minus.checkedDisabled = -minus.checkedDisabled;
  propagateUp(item, minus);
  siblings.erase(siblings.begin() + static_cast<std::ptrdiff_t>(row));
  for (std::size_t i = row; i < siblings.size(); ++i) {
    items_[siblings[i]].row = i;
  }
  items_[item].alive = false;
  items_[item].parent = kNoItem;
  if (observer_ != nullptr) {
    observer_->removed();
  }
  return true;
}

void ItemTree::clear() {
  if (observer_ != nullptr) {
    observer_->aboutToClear();
  }
  items_.clear();
  top_.clear();
  if (observer_ != nullptr) {
    observer_->cleared();
  }
}

ItemHandle ItemTree::parent(ItemHandle item) const { return at(item).parent; }

const std::vector<ItemHandle> &ItemTree::children(ItemHandle item) const {
  if (item == kNoItem) {
    return top_;
  }
  return valid(item) ? items_[item].children : kNoChildren;
}

ItemHandle ItemTree::firstChild(ItemHandle item) const {
  const auto &c = children(item);
  return c.empty() ? kNoItem : c.front();
}

ItemHandle ItemTree::nextSibling(ItemHandle item) const {
  if (!valid(item)) {
    return kNoItem;
  }
  const Item &i = items_[item];
  const auto &siblings = children(i.parent);
  return i.row + 1 < siblings.size() ? siblings[i.row + 1] : kNoItem;
}

std::size_t ItemTree::row(ItemHandle item) const { return at(item).row; }

bool ItemTree::hasPlaceholder(ItemHandle item) const {
  const ItemHandle first = firstChild(item);
  return first != kNoItem && items_[first].icon == IconKind::Placeholder;
}

void ItemTree::setText(ItemHandle item, std::string text) {
  if (!valid(item)) {
    return;
  }
  items_[item].text = std::move(text);
  notifyChanged(item);
}

void ItemTree::setDeletedLook(ItemHandle item, bool deleted) {
  if (!valid(item)) {
    return;
  }
  items_[item].deletedLook = deleted;
  notifyChanged(item);
}

void ItemTree::setExpanded(ItemHandle item, bool expanded) {
  if (!valid(item)) {
    return;
  }
  items_[item].expanded = expanded;
  notifyChanged(item);
}

void ItemTree::setChecked(ItemHandle item, bool checked) {
  if (!valid(item)) {
    return;
  }
  Item &target = items_[item];
  if (target.checked == checked) {
    return;
  }
  const Counts before = [&] {
    Counts c = selfCounts(target);
    c += target.below;
    return c;
  }();
  target.checked = checked;

  // The subtree in pre-order: every enabled descendant takes the state, then the counts are
  // rebuilt from the leaves up.
  std::vector<ItemHandle> order;
  std::vector<ItemHandle> stack{item};
  while (!stack.empty()) {
    const ItemHandle h = stack.back();
    stack.pop_back();
    order.push_back(h);
    for (const ItemHandle c : items_[h].children) {
      if (items_[c].enabled) {
        items_[c].checked = checked;
      }
      stack.push_back(c);
    }
  }
  // Children come after their parent in pre-order, so walking backwards rebuilds leaves first.
  std::reverse(order.begin(), order.end());
  for (const ItemHandle h : order) {
    Item &i = items_[h];
    i.below = Counts{};
    for (const ItemHandle c : i.children) {
      i.below += selfCounts(items_[c]);
      i.below += items_[c].below;
    }
    notifyChanged(h);
  }

  Counts after = selfCounts(target);
  after += target.below;
  Counts delta;
  delta.checked = after.checked - before.checked;
  delta.checkedDisabled = after.checkedDisabled - before.checkedDisabled;
  propagateUp(item, delta);
}

bool ItemTree::isChecked(ItemHandle item) const { return derivedChecked(at(item)); }

CheckImage ItemTree::checkImage(ItemHandle item) const {
  const Item &i = at(item);
  if (i.below.all == 0) {
    return i.checked ? CheckImage::Checked : CheckImage::Unchecked;
  }
  if (i.below.checked == 0) {
    return CheckImage::Unchecked;
  }
  const std::int64_t enabledBelow = i.below.all - i.below.disabled;
  if (i.below.checked - i.below.checkedDisabled == enabledBelow) {
    return CheckImage::Checked;
  }
  return CheckImage::Tristate;
}

void ItemTree::setEnabled(ItemHandle item, bool enabled) {
  if (!valid(item)) {
    return;
  }
  Item &i = items_[item];
  if (i.enabled == enabled) {
    return;
  }
  const Counts before = selfCounts(i);
  i.enabled = enabled;
  const Counts after = selfCounts(i);
  Counts delta;
  delta.disabled = after.disabled - before.disabled;
  delta.checkedDisabled = after.checkedDisabled - before.checkedDisabled;
  notifyChanged(item);
  propagateUp(item, delta);
}

} // namespace quillon
