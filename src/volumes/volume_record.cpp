// Volume record helpers.
#include "volumes/volume_record.h"

#include "core/json.h"
#include "core/text_format.h"

namespace quillon {

std::uint64_t volumeSizeMiB(const std::string &text) {
  std::uint64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      break;
    }
    if (v > (~0ULL - 9) / 10) {
      break;
    }
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return v;
}

std::string volumeJson(const VolumeRecord &r) {
  JsonObject o;
  o.add("number", r.number);
  o.add("fsType", r.fsType);
  o.add("volumeSizeText", r.volumeSizeText);
  o.add("startSector", r.startSector);
  return o.text();
}

} // namespace quillon
