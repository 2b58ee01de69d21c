// FileReadSeekVmdkSplit: a VMDK disk stored in several extent files, served as one disk. The
// extents come either from a text descriptor (descriptor mode) or from numbered file names
// next to the chosen file (disk-s001.vmdk, disk-s002.vmdk, ... or disk-1.vmdk, disk-2.vmdk).
// Each extent is a FileReadSeekVmdk; this reader finds the extent that holds a byte and lets
// that extent map it.
#pragma once

#include "disk/reader.h"
#include "disk/vmdk_descriptor.h"
#include "disk/vmdk_reader.h"

#include <memory>
#include <optional>
#include <vector>

namespace quillon {

class FileReadSeekVmdkSplit final : public readWriteInterface {
public:
  bool open(const std::filesystem::path &path) override;
  [[nodiscard]] std::uint64_t sectorCount() const override { return sectors_; }
  [[nodiscard]] std::string kindText() const override;

  bool descriptorMode = false;
  std::string extentType; // name-enumeration mode: "SPARSE", "FLAT" or empty (decide per file)

  std::vector<VmdkExtent> extents; // descriptor mode: the extent lines in order
  VmdkDescriptorInfo descriptorInfo;
  std::vector<std::unique_ptr<FileReadSeekVmdk>> extentReaders;

  // Descriptor files larger than this are refused: they are not descriptors.
  static constexpr std::uint64_t kMaxDescriptorBytes = 51200;

  // The extent file name resolved inside folder, or nullopt when the name would leave it
  // (absolute paths, ".." components).
  [[nodiscard]] static std::optional<std::filesystem::path>
  resolveExtentName(const std::filesystem::path &folder, const std::string &name);

  // The number n in a name of the form prefix + letters + digits + ".vmdk" (disk-s001.vmdk,
  // disk-f2.vmdk, disk-3.vmdk), or nullopt.
  [[nodiscard]] static std::optional<std::uint64_t> extentNumber(const std::string &prefix,
                                                                 const std::string &name);

protected:
  Run mapRun(std::uint64_t abs, std::uint64_t maxLength) override;

private:
  bool openDescriptor(const std::filesystem::path &path);
  bool openNumbered(const std::filesystem::path &path);
  void addExtent(std::unique_ptr<FileReadSeekVmdk> reader);

  std::vector<std::uint64_t> starts_; // first disk byte of each extent reader
  std::uint64_t sectors_ = 0;
};

} // namespace quillon
