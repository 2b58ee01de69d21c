// Line-based parse of VMDK text descriptors.
#include "disk/vmdk_descriptor.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace quillon {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())) != 0) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (std::isspace(static_cast<unsigned char>(s.back())) != 0 || s.back() == 0)) {
    s.remove_suffix(1);
  }
  return s;
}

std::string unquote(std::string_view v) {
  v = trim(v);
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
    v = v.substr(1, v.size() - 2);
  }
  return std::string(v);
}

std::optional<std::uint64_t> parseNumber(std::string_view s) {
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) {
    return std::nullopt;
  }
  return v;
}

// Splits off the next white-space separated word.
std::string_view nextWord(std::string_view &s) {
  s = trim(s);
  std::size_t n = 0;
  while (n < s.size() && std::isspace(static_cast<unsigned char>(s[n])) == 0) {
    ++n;
  }
  const std::string_view w = s.substr(0, n);
  s.remove_prefix(n);
  return w;
}

std::optional<VmdkExtent> parseExtentLine(std::string_view line) {
  const std::string_view access = nextWord(line);
  if (access != "RW" && access != "RDONLY" && access != "NOACCESS") {
    return std::nullopt;
  }
  const auto sectors = parseNumber(nextWord(line));
  if (!sectors) {
    return std::nullopt;
  }
  VmdkExtent e;
  e.sectorCount = *sectors;
  std::string type(nextWord(line));
  std::transform(type.begin(), type.end(), type.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  e.type = type;
  line = trim(line);
  if (!line.empty() && line.front() == '"') {
    const std::size_t close = line.find('"', 1);
    if (close == std::string_view::npos) {
      return std::nullopt;
    }
    e.fileName = std::string(line.substr(1, close - 1));
    line.remove_prefix(close + 1);
    if (const auto off = parseNumber(nextWord(line))) {
      e.flatOffset = *off;
    }
  }
  return e;
}

} // namespace

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

VmdkDescriptor parseVmdkDescriptor(std::string_view text) {
  // An embedded descriptor is padded with NULs; the text ends at the first one.
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    text = text.substr(0, nul);
  }
  VmdkDescriptor d;
  while (!text.empty()) {
    std::size_t eol = text.find('\n');
    std::string_view line = trim(text.substr(0, eol));
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (line.empty() || line.front() == '#') {
      continue;
    }
    if (auto extent = parseExtentLine(line)) {
      d.extents.push_back(std::move(*extent));
      continue;
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      continue;
    }
    const std::string_view key = trim(line.substr(0, eq));
    const std::string value = unquote(line.substr(eq + 1));
    if (key == "version") {
      d.info.version = value;
    } else if (key == "CID") {
      d.info.CID = value;
    } else if (key == "parentCID") {
      d.info.parentCID = value;
    } else if (key == "createType") {
      d.info.createType = value;
    } else if (key == "ddb.geometry.cylinders") {
      d.info.cylinders = value;
    } else if (key == "ddb.geometry.heads") {
      d.info.heads = value;
    } else if (key == "ddb.geometry.sectors") {
      d.info.sectors = value;
    }
  }
  return d;
}

bool looksLikeVmdkDescriptor(std::string_view text) {
  if (text.starts_with("# Disk DescriptorFile")) {
    return true;
  }
  const std::string_view head = text.substr(0, std::min<std::size_t>(text.size(), 1024));
  return head.find("createType=") != std::string_view::npos &&
         head.find('\0') == std::string_view::npos;
}

} // namespace quillon
