// Path lookup and listing below a folder.
#include "browse/listing.h"

#include "core/worker_control.h"

#include <unordered_set>

namespace quillon {

std::vector<std::string> splitPath(std::string_view path) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = path.find('/', start);
    const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
    if (end > start) {
      names.emplace_back(path.substr(start, end - start));
    }
    if (slash == std::string_view::npos) {
      break;
    }
    start = slash + 1;
  }
  return names;
}

std::string joinPath(const std::vector<std::string> &names) {
  std::string text;
  for (const std::string &n : names) {
    if (!text.empty()) {
      text += '/';
    }
    text += n;
  }
  return text;
}

namespace {

ListedEntry childEntry(FsBrowser &browser, const ListedEntry &parent, const ItemData &child) {
  ListedEntry e;
  e.record = child;
  e.info = browser.info(child);
  e.path = parent.path;
  e.path.push_back(e.info.name);
  const auto orphanFolder = browser.orphanFolder();
  e.orphan =
      parent.orphan || (parent.path.size() == 1 && orphanFolder && *orphanFolder == parent.record);
  return e;
}

} // namespace

std::vector<ListedEntry> findPath(FsBrowser &browser, const std::vector<std::string> &names) {
  ListedEntry root;
  root.info = browser.info(root.record);
  std::vector<ListedEntry> level{root};
  for (const std::string &name : names) {
    std::vector<ListedEntry> next;
    for (const ListedEntry &folder : level) {
      if (!folder.info.folder) {
        continue;
      }
      for (const ItemData &child : browser.children(folder.record)) {
        if (browser.info(child).name == name) {
          next.push_back(childEntry(browser, folder, child));
        }
      }
    }
    level = std::move(next);
    if (level.empty()) {
      break;
    }
  }
  return level;
}

bool listBelow(FsBrowser &browser, const ListedEntry &folder, bool recursive,
               WorkerControl *control, const std::function<void(const ListedEntry &)> &onEntry) {
  struct Frame {
    ListedEntry folder;
    std::vector<ItemData> children;
    std::size_t next = 0;
  };
  std::unordered_set<ItemData> visited{folder.record};
  std::vector<Frame> stack;
  stack.push_back({folder, browser.children(folder.record), 0});
  while (!stack.empty()) {
    if (stack.back().next >= stack.back().children.size()) {
      stack.pop_back();
      continue;
    }
    if (control != nullptr && !control->checkpoint()) {
      return false;
    }
    Frame &top = stack.back();
    ListedEntry entry = childEntry(browser, top.folder, top.children[top.next++]);
    onEntry(entry);
    if (recursive && entry.info.folder && browser.walkInto(entry.info) &&
        stack.size() < kMaxFolderDepth && visited.insert(entry.record).second) {
      std::vector<ItemData> children = browser.children(entry.record);
      stack.push_back({std::move(entry), std::move(children), 0});
    }
  }
  return true;
}

} // namespace quillon
