// The depth-first walk below a folder shared by counting, saving and searching. It follows the
// parser's chains through FsBrowser::children, enters every folder at most once (a visited set)
// and never nests deeper than kMaxFolderDepth (an explicit stack, no recursion), so a damaged
// volume whose folders loop cannot make it run forever.
#pragma once

#include "browse/fs_browser.h"
#include "core/worker_control.h"

#include <unordered_set>
#include <utility>
#include <vector>

namespace quillon {

// Calls onFile(record, info, path) for each file and onFolder(record, info, path, innerPath) for
// each folder before its children, in chain order. Path is whatever the caller tracks per level
// (a folder on disk, a list of names); onFolder starts with innerPath equal to path, may change
// it, and returns whether to go into the folder. onTooDeep(record, info, path) is told about a
// folder not entered because it lies deeper than kMaxFolderDepth. Returns false when control
// was stopped.
template <typename Path, typename OnFile, typename OnFolder, typename OnTooDeep>
bool walkBelow(FsBrowser &browser, const ItemData &root, Path rootPath, WorkerControl *control,
               OnFile &&onFile, OnFolder &&onFolder, OnTooDeep &&onTooDeep) {
  struct Frame {
    std::vector<ItemData> children;
    std::size_t next = 0;
    Path path;
  };
  std::unordered_set<ItemData> visited{root};
  std::vector<Frame> stack;
  stack.push_back(Frame{browser.children(root), 0, std::move(rootPath)});
  while (!stack.empty()) {
    if (stack.back().next >= stack.back().children.size()) {
      stack.pop_back();
      continue;
    }
    if (control != nullptr && !control->checkpoint()) {
      return false;
    }
    Frame &top = stack.back();
    const ItemData child = top.children[top.next++];
    const EntryInfo info = browser.info(child);
    if (!info.folder) {
      onFile(child, info, top.path);
      continue;
    }
    if (!browser.walkInto(info) || visited.contains(child)) {
      continue;
    }
    if (stack.size() >= kMaxFolderDepth) {
      onTooDeep(child, info, top.path);
      continue;
    }
    Path inner = top.path;
    if (!onFolder(child, info, top.path, inner)) {
      continue;
    }
    visited.insert(child);
    std::vector<ItemData> grandChildren = browser.children(child);
    stack.push_back(Frame{std::move(grandChildren), 0, std::move(inner)});
  }
  return true;
}

} // namespace quillon
