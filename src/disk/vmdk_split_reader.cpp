// Split VMDK sets: descriptor-driven and name-enumerated.
#include "disk/vmdk_split_reader.h"

#include "core/text_format.h"
#include "disk/image_file.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace quillon {

std::string FileReadSeekVmdkSplit::kindText() const {
  std::string kind = descriptorMode ? "VMDK descriptor" : "VMDK numbered extents";
  if (!descriptorInfo.createType.empty()) {
    kind += " (" + descriptorInfo.createType + ")";
  }
  return kind;
}

bool FileReadSeekVmdkSplit::open(const std::filesystem::path &path) {
  return descriptorMode ? openDescriptor(path) : openNumbered(path);
}

std::optional<std::filesystem::path>
FileReadSeekVmdkSplit::resolveExtentName(const std::filesystem::path &folder,
                                         const std::string &name) {
  if (name.empty() || name.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  const std::filesystem::path p(name);
  if (p.is_absolute() || p.has_root_name() || p.has_root_directory()) {
    return std::nullopt;
  }
  for (const auto &part : p) {
    if (part == "..") {
      return std::nullopt;
    }
  }
  // Backslashes are separators in descriptors written on other systems.
  if (name.find('\\') != std::string::npos) {
    std::string converted = name;
    std::replace(converted.begin(), converted.end(), '\\', '/');
    return resolveExtentName(folder, converted);
  }
  return folder / p;
}

void FileReadSeekVmdkSplit::addExtent(std::unique_ptr<FileReadSeekVmdk> reader) {
  starts_.push_back(sectors_ * kSectorSize);
  sectors_ += reader->sectorCount();
  extentReaders.push_back(std::move(reader));
}

bool FileReadSeekVmdkSplit::openDescriptor(const std::filesystem::path &path) {
  ImageFile file;
  if (!file.open(path)) {
    fail(format("cannot open %s: %s", path.c_str(), file.lastError().c_str()));
    return false;
  }
  imageSize = file.size();
  if (imageSize >= kMaxDescriptorBytes) {
    report("file size greater than 50 kb .possibly not a descriptor file");
    return false;
  }
  std::string text(imageSize, '\0');
  if (!file.readAt(0, {reinterpret_cast<std::uint8_t *>(text.data()), text.size()})) {
    fail("cannot read the descriptor: " + file.lastError());
    return false;
  }
  VmdkDescriptor d = parseVmdkDescriptor(text);
  descriptorInfo = d.info;
  extents = std::move(d.extents);
  if (extents.empty()) {
    report("no extent lines in the descriptor " + path.filename().string());
    return false;
  }
  const std::filesystem::path folder = path.parent_path();
  for (const VmdkExtent &e : extents) {
    auto reader = std::make_unique<FileReadSeekVmdk>();
    reader->extents.push_back(e);
    reader->extentType = e.type;
    if (e.type == "ZERO") {
      reader->open({});
      addExtent(std::move(reader));
      continue;
    }
    const auto file = resolveExtentName(folder, e.fileName);
    if (!file) {
      report("extent file name leaves the descriptor's folder: " + e.fileName);
      return false;
    }
    if (!reader->open(*file)) {
      // Keep the disk's layout: a missing extent reads as zeros in its place instead of
      // shifting every later extent.
      report("extent file cannot be opened, its sectors read as zeros: " + e.fileName);
      auto zero = std::make_unique<FileReadSeekVmdk>();
      zero->extents.push_back({e.sectorCount, "ZERO", e.fileName, 0});
      zero->open({});
      addExtent(std::move(zero));
      continue;
    }
    // A sparse extent serves exactly the sectors its line gives, whatever its header says.
    if (e.sectorCount != 0) {
      reader->sectors_ = e.sectorCount;
    }
    addExtent(std::move(reader));
  }
  return true;
}

std::optional<std::uint64_t> FileReadSeekVmdkSplit::extentNumber(const std::string &prefix,
                                                                 const std::string &name) {
  constexpr std::string_view kSuffix = ".vmdk";
  if (name.size() <= prefix.size() + kSuffix.size() || !name.starts_with(prefix)) {
    return std::nullopt;
  }
  const std::string_view tail(name.data() + name.size() - kSuffix.size(), kSuffix.size());
  if (!equalsNoCase(tail, kSuffix)) {
    return std::nullopt;
  }
  std::string_view middle(name.data() + prefix.size(),
                          name.size() - prefix.size() - kSuffix.size());
  while (!middle.empty() && std::isalpha(static_cast<unsigned char>(middle.front())) != 0) {
    middle.remove_prefix(1);
  }
  if (middle.empty() || middle.size() > 9) {
    return std::nullopt;
  }
  std::uint64_t n = 0;
  for (const char c : middle) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return n;
}

bool FileReadSeekVmdkSplit::openNumbered(const std::filesystem::path &path) {
  const std::string fileName = path.filename().string();
  const std::size_t dash = fileName.rfind('-');
  if (dash == std::string::npos) {
    report("Possibly not a split file . Go back and try without checking the split check box");
    return false;
  }
  const std::string prefix = fileName.substr(0, dash + 1);
  const std::filesystem::path folder = path.parent_path().empty() ? "." : path.parent_path();
  std::map<std::uint64_t, std::filesystem::path> numbered;
  std::error_code ec;
  for (const auto &entry : std::filesystem::directory_iterator(folder, ec)) {
    if (const auto n = extentNumber(prefix, entry.path().filename().string())) {
      numbered.emplace(*n, entry.path()); // the first name found for a number is kept
    }
  }
  if (ec) {
    fail("cannot list " + folder.string() + ": " + ec.message());
    return false;
  }
  // The set runs 1, 2, 3, ... and ends at the first missing number.
  for (std::uint64_t n = 1; numbered.contains(n); ++n) {
    auto reader = std::make_unique<FileReadSeekVmdk>();
    reader->extentType = extentType;
    if (!reader->open(numbered[n])) {
      report("extent file cannot be opened: " + numbered[n].filename().string());
      return false;
    }
    if (imageSize == 0) {
      imageSize = reader->imageSize;
    }
    addExtent(std::move(reader));
  }
  if (extentReaders.empty()) {
    report("Possibly not a split file . Go back and try without checking the split check box");
    return false;
  }
  return true;
}

readWriteInterface::Run FileReadSeekVmdkSplit::mapRun(std::uint64_t abs, std::uint64_t maxLength) {
  Run run;
  run.length = maxLength;
  if (starts_.empty()) {
    return run;
  }
  const auto it = std::upper_bound(starts_.begin(), starts_.end(), abs);
  const std::size_t i = static_cast<std::size_t>(it - starts_.begin()) - 1;
  FileReadSeekVmdk &extent = *extentReaders[i];
  const std::uint64_t inExtent = abs - starts_[i];
  const std::uint64_t extentBytes = extent.sectorCount() * kSectorSize;
  if (inExtent >= extentBytes) {
    return run; // an empty extent: nothing stored here
  }
  run = extent.mapRun(inExtent, std::min(maxLength, extentBytes - inExtent));
  run.length = std::min(run.length, extentBytes - inExtent);
  return run;
}

} // namespace quillon
