// Signature records: layout, encoding, decoding, rule checks and the editor's field parsing.
#include "carving/signature_record.h"

#include "core/text_convert.h"
#include "core/text_format.h"

#include <algorithm>
#include <limits>

namespace quillon {

namespace {

namespace L = signature_layout;

// Records a one-byte index can number in one file.
constexpr std::uint64_t kMaxRecordsPerFile = 256;

std::u16string utf8ToUtf16(std::string_view text) {
  std::u16string out;
  for (const char32_t cp : utf8ToUtf32(text)) {
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

void putUnits(std::span<std::uint8_t> bytes, std::size_t offset, const std::u16string &units,
              std::size_t maxUnits) {
  for (std::size_t i = 0; i < units.size() && i < maxUnits; ++i) {
    putLe(bytes, offset + 2 * i, units[i], 2);
  }
}

std::u16string readUnits(Bytes bytes, std::size_t offset, std::size_t maxUnits) {
  std::u16string out;
  for (std::size_t i = 0; i < maxUnits; ++i) {
    const auto unit = static_cast<char16_t>(le16(bytes, offset + 2 * i));
    if (unit == 0) {
      break;
    }
    out.push_back(unit);
  }
  return out;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) {
    s.remove_prefix(1);
  }
  while (!s.empty() && isBlank(s.back())) {
    s.remove_suffix(1);
  }
  return s;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

std::uint8_t tokenByte(std::string_view token) {
  if (token == "*") {
    return kWildcardByte;
  }
  if (token.size() >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
    token.remove_prefix(2);
  }
  unsigned value = 0;
  for (const char c : token) {
    const int d = hexDigit(c);
    if (d < 0) {
      break;
    }
    value = ((value << 4) | static_cast<unsigned>(d)) & 0xFFU; // only the low byte is kept
  }
  return static_cast<std::uint8_t>(value);
}

BuiltRecord refused(std::string message) { return {std::nullopt, std::move(message)}; }

} // namespace

SignatureRecordBytes encodeSignatureRecord(const SignatureRecord &r) {
  SignatureRecordBytes bytes{};
  putUnits(bytes, L::kExtension, r.extension, kRecordExtensionUnits);
  putLe(bytes, L::kStartOffset, static_cast<std::uint16_t>(r.startOffset), 2);
  bytes[L::kExtensionLength] = r.extensionLength;
  std::copy(r.startSignature.begin(), r.startSignature.end(), bytes.begin() + L::kStartSignature);
  std::copy(r.endSignature.begin(), r.endSignature.end(), bytes.begin() + L::kEndSignature);
  bytes[L::kStartLength] = r.startLength;
  bytes[L::kEndLength] = r.endLength;
  bytes[L::kRecordIndex] = r.recordIndex;
  putLe(bytes, L::kOffsetToSize, static_cast<std::uint32_t>(r.offsetToSize), 4);
  putLe(bytes, L::kBytesInSize, static_cast<std::uint32_t>(r.bytesInSize), 4);
  putLe(bytes, L::kHeaderSize, static_cast<std::uint32_t>(r.headerSize), 4);
  bytes[L::kSizeIncludesHeader] = r.sizeIncludesHeader ? 1 : 0;
  putLe(bytes, L::kApproxSize, static_cast<std::uint64_t>(r.approxSize), 8);
  putLe(bytes, L::kSkipSize, static_cast<std::uint64_t>(r.skipSize), 8);
  putUnits(bytes, L::kCategory, r.category, kRecordCategoryUnits - 1);
  return bytes;
}

SignatureRecord decodeSignatureRecord(Bytes bytes) {
  SignatureRecord r;
  r.extension = readUnits(bytes, L::kExtension, kRecordExtensionUnits);
  r.startOffset = static_cast<std::int16_t>(le16(bytes, L::kStartOffset));
  r.extensionLength = u8(bytes, L::kExtensionLength);
  for (std::size_t i = 0; i < kMaxSignatureBytes; ++i) {
    r.startSignature[i] = u8(bytes, L::kStartSignature + i);
    r.endSignature[i] = u8(bytes, L::kEndSignature + i);
  }
  r.startLength = u8(bytes, L::kStartLength);
  r.endLength = u8(bytes, L::kEndLength);
  r.recordIndex = u8(bytes, L::kRecordIndex);
  r.offsetToSize = static_cast<std::int32_t>(le32(bytes, L::kOffsetToSize));
  r.bytesInSize = static_cast<std::int32_t>(le32(bytes, L::kBytesInSize));
  r.headerSize = static_cast<std::int32_t>(le32(bytes, L::kHeaderSize));
  r.sizeIncludesHeader = u8(bytes, L::kSizeIncludesHeader) != 0;
  r.approxSize = static_cast<std::int64_t>(le64(bytes, L::kApproxSize));
  r.skipSize = static_cast<std::int64_t>(le64(bytes, L::kSkipSize));
  // A damaged record may fill all 100 bytes without a terminator; all 50 units are then kept.
  r.category = readUnits(bytes, L::kCategory, kRecordCategoryUnits);
  return r;
}

std::optional<std::string> ruleProblem(const SignatureRecord &r) {
  if (r.startLength > kMaxSignatureBytes || r.endLength > kMaxSignatureBytes) {
    return format("a signature of more than %zu bytes", kMaxSignatureBytes);
  }
  if (r.startOffset < 0 || r.startOffset + r.startLength > kSizeFieldLimit) {
    return format("the starting signature at offset %d does not lie inside the first %lld bytes",
                  static_cast<int>(r.startOffset), static_cast<long long>(kSizeFieldLimit));
  }
  const bool headerSizeRule = r.endLength == 0 && r.bytesInSize >= 1;
  if (!headerSizeRule) {
    return std::nullopt;
  }
  if (r.offsetToSize <= 0) {
    return std::string("the size field has no offset");
  }
  if (r.headerSize < 0) {
    return std::string("the header size is negative");
  }
  const std::int64_t fieldEnd = std::int64_t{r.offsetToSize} + r.bytesInSize;
  const std::int64_t taken = fieldEnd + (r.sizeIncludesHeader ? 0 : r.headerSize);
  if (fieldEnd > kSizeFieldLimit || taken > kSizeFieldLimit) {
    return format("the size field lies beyond the first %lld bytes",
                  static_cast<long long>(kSizeFieldLimit));
  }
  return std::nullopt;
}

std::vector<std::uint8_t> parseSignatureTokens(std::string_view text) {
  std::vector<std::uint8_t> out;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view token = trimmed(text.substr(0, comma));
    if (!token.empty()) {
      out.push_back(tokenByte(token));
    }
    if (comma == std::string_view::npos) {
      break;
    }
    text.remove_prefix(comma + 1);
  }
  return out;
}

std::int32_t editorNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isBlank(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  std::int64_t value = 0;
  constexpr std::int64_t kCap = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min(kCap, value * 10 + (text[i] - '0'));
  }
  if (negative) {
    value = -value;
  }
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

BuiltRecord buildSignatureRecord(const SignatureFields &fields, std::uint64_t fileLength) {
  SignatureRecord r; // every field 0, index 0xFF, offset to size -1
  const std::u16string extension = utf8ToUtf16(fields.extension);
  if (extension.empty()) {
    return refused(kEmptyExtensionText);
  }
  const std::vector<std::uint8_t> start = parseSignatureTokens(fields.startSignature);
  if (start.empty()) {
    return refused(kEmptySignatureText);
  }
  const std::vector<std::uint8_t> end = parseSignatureTokens(fields.endSignature);
  if (start.size() > kMaxSignatureBytes || end.size() > kMaxSignatureBytes) {
    return refused(format("a signature holds at most %zu bytes..", kMaxSignatureBytes));
  }
  if (fileLength / kSignatureRecordSize >= kMaxRecordsPerFile) {
    // A 257th record would get index 0 again, and the loader, which counts the records by the
    // last one's index, would then read only the first record of the file.
    return refused(format("the file already holds %llu signatures..",
                          static_cast<unsigned long long>(kMaxRecordsPerFile)));
  }
  r.extension = extension.substr(0, kRecordExtensionUnits);
  r.extensionLength = static_cast<std::uint8_t>(std::min<std::size_t>(extension.size(), 0xFF));
  std::copy(start.begin(), start.end(), r.startSignature.begin());
  r.startLength = static_cast<std::uint8_t>(start.size());
  std::copy(end.begin(), end.end(), r.endSignature.begin());
  r.endLength = static_cast<std::uint8_t>(end.size());
  r.recordIndex = static_cast<std::uint8_t>(fileLength / kSignatureRecordSize);

  const std::int32_t startOffset = editorNumber(fields.startOffset);
  if (startOffset < 0 || startOffset + static_cast<std::int64_t>(start.size()) > kSizeFieldLimit) {
    return refused(
        format("the starting signature offset must be from 0 to %lld..",
               static_cast<long long>(kSizeFieldLimit) - static_cast<long long>(start.size())));
  }
  r.startOffset = static_cast<std::int16_t>(startOffset);
  const std::int32_t offsetToSize = editorNumber(fields.offsetToSize);
  r.offsetToSize = offsetToSize > 0 ? offsetToSize : -1;
  r.bytesInSize = editorNumber(fields.bytesInSize);
  r.headerSize = editorNumber(fields.headerSize);
  r.sizeIncludesHeader = fields.sizeIncludesHeader;
  r.approxSize = editorNumber(fields.approxSize);
  r.skipSize = editorNumber(fields.skipSize);
  if (!fields.category.empty()) {
    r.category = utf8ToUtf16(fields.category).substr(0, kRecordCategoryUnits - 1);
  }
  if (const auto problem = ruleProblem(r)) {
    return refused(*problem + "..");
  }
  return {r, {}};
}

} // namespace quillon
