// The path of a record of a FAT-family entry table: the names up the parentIndex chain, below
// record 0, joined with '/'. The walk up is bounded by the table's size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::test {

template <typename Entry>
[[nodiscard]] std::string tablePath(const std::vector<Entry> &entries, const Entry &e) {
  std::string path = e.name;
  std::uint32_t parent = e.parentIndex;
  for (std::size_t depth = 0; parent != 0 && parent < entries.size() && depth < entries.size();
       ++depth) {
    const Entry &up = entries[parent];
    path = up.name + "/" + path;
    parent = up.parentIndex;
  }
  return path;
}

} // namespace quillon::test
