// Helpers of the carving tests: rules from the editor's field texts, engines holding them, and
// volumes with bytes placed at chosen offsets.
#pragma once

#include "carving/carving_engine.h"
#include "carving/signature_record.h"
#include "carving/volume_bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

namespace quillon::test {

// A record from field texts, as the editor's Save builds it for an empty file.
inline SignatureRecord recordFrom(const SignatureFields &fields) {
  const BuiltRecord built = buildSignatureRecord(fields, 0);
  EXPECT_TRUE(built.record.has_value()) << built.message;
  return built.record.value_or(SignatureRecord{});
}

inline std::unique_ptr<myJpg> engineWith(std::initializer_list<SignatureFields> rules,
                                         std::uint64_t volumeSize) {
  auto engine = std::make_unique<myJpg>();
  for (const SignatureFields &f : rules) {
    engine->addSignature(recordFrom(f));
  }
  engine->volumeSize = volumeSize;
  return engine;
}

// A volume of zeros with bytes placed at offsets.
class VolumeImage {
public:
  explicit VolumeImage(std::uint64_t size) : bytes_(size) {}
  VolumeImage &put(std::uint64_t offset, std::vector<std::uint8_t> data) {
    std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    return *this;
  }
  VolumeImage &putLe32(std::uint64_t offset, std::uint32_t value) {
    return put(offset,
               {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
  }
  [[nodiscard]] MemoryBytes memory() const { return MemoryBytes(bytes_); }
  [[nodiscard]] const std::vector<std::uint8_t> &bytes() const { return bytes_; }

private:
  std::vector<std::uint8_t> bytes_;
};

inline const std::vector<std::uint8_t> kJpegStart = {0xFF, 0xD8, 0xFF};

} // namespace quillon::test
