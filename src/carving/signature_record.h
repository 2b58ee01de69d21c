// The signature file's record: 173 bytes per file type, little-endian, no file header. Holds the
// record layout, its encoding and decoding, the checks a rule must pass before the engine may use
// it, and the signature editor's logic: turning the texts typed into its fields into a record.
#pragma once

#include "core/byte_order.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

inline constexpr std::size_t kSignatureRecordSize = 173;
// Longest signature a record holds, start or end.
inline constexpr std::size_t kMaxSignatureBytes = 10;
// Extension units kept in a record (a longer extension keeps its length, not its characters).
inline constexpr std::size_t kRecordExtensionUnits = 4;
// Category name units in a record, the terminator included.
inline constexpr std::size_t kRecordCategoryUnits = 50;
// The byte that matches any byte in a signature (the character *).
inline constexpr std::uint8_t kWildcardByte = 0x2A;
// A header-size rule reads its size field from the first sector of the find.
inline constexpr std::int64_t kSizeFieldLimit = 512;

namespace signature_layout {
inline constexpr std::size_t kExtension = 0x00;
inline constexpr std::size_t kStartOffset = 0x0A;
inline constexpr std::size_t kExtensionLength = 0x0C;
inline constexpr std::size_t kStartSignature = 0x0D;
inline constexpr std::size_t kEndSignature = 0x17;
inline constexpr std::size_t kStartLength = 0x21;
inline constexpr std::size_t kEndLength = 0x22;
inline constexpr std::size_t kRecordIndex = 0x23;
inline constexpr std::size_t kOffsetToSize = 0x24;
inline constexpr std::size_t kBytesInSize = 0x28;
inline constexpr std::size_t kHeaderSize = 0x2C;
inline constexpr std::size_t kSizeIncludesHeader = 0x30;
inline constexpr std::size_t kApproxSize = 0x35;
inline constexpr std::size_t kSkipSize = 0x3D;
inline constexpr std::size_t kCategory = 0x45;
} // namespace signature_layout

using SignatureRecordBytes = std::array<std::uint8_t, kSignatureRecordSize>;

// One record, field by field. Signature lengths are kept as stored: a damaged file may claim
// more bytes than a signature holds (validRuleProblem says so).
struct SignatureRecord {
  std::u16string extension; // at most kRecordExtensionUnits units
  std::uint8_t extensionLength = 0;
  std::int16_t startOffset = 0;
  std::array<std::uint8_t, kMaxSignatureBytes> startSignature{};
  std::array<std::uint8_t, kMaxSignatureBytes> endSignature{};
  std::uint8_t startLength = 0;
  std::uint8_t endLength = 0;
  std::uint8_t recordIndex = 0xFF;
  std::int32_t offsetToSize = -1; // -1: the file's size is not in its header
  std::int32_t bytesInSize = 0;
  std::int32_t headerSize = 0;
  bool sizeIncludesHeader = false;
  std::int64_t approxSize = 0;
  std::int64_t skipSize = 0;
  std::u16string category; // at most kRecordCategoryUnits - 1 units
};

[[nodiscard]] SignatureRecordBytes encodeSignatureRecord(const SignatureRecord &record);
// Reads one record from the first kSignatureRecordSize bytes (missing bytes read as zero).
[[nodiscard]] SignatureRecord decodeSignatureRecord(Bytes bytes);

// Why the carving engine cannot use the record, or nullopt when it can:
// - a signature claiming more than kMaxSignatureBytes bytes;
// - a header-size rule (no end signature, a size field of one byte or more) whose size field
//   has no offset or does not lie inside the first kSizeFieldLimit bytes of the file, counted
//   as the engine reads it: offset to size + bytes in size, plus the header size when the size
//   does not include it.
[[nodiscard]] std::optional<std::string> ruleProblem(const SignatureRecord &record);

// --- the signature editor's logic ---

// "0x89,0x50,0x4E,0x47" or "89,50,4E,47": tokens separated by commas (a run of commas is one
// separator, blanks around a token are ignored), each read as a hexadecimal number whose low
// byte is kept. A token "*" is the wildcard byte. A token without hexadecimal digits reads as 0.
[[nodiscard]] std::vector<std::uint8_t> parseSignatureTokens(std::string_view text);

// A number typed into the editor: optional blanks and sign, then the leading decimal digits;
// empty or non-numeric text gives 0. Clamped to the 32-bit range every field is read in.
[[nodiscard]] std::int32_t editorNumber(std::string_view text);

// The texts of the editor's fields, as typed.
struct SignatureFields {
  std::string extension;           // "File Extention :" (no dot)
  std::string startSignature;      // "Starting Signature :"
  std::string startOffset;         // "Starting Signature Offset:"
  std::string endSignature;        // "Ending Signature :"
  std::string offsetToSize;        // "Offset to Size Byte :"
  std::string bytesInSize;         // "Number Of Bytes In Size :"
  bool sizeIncludesHeader = false; // "Size includes header size"
  std::string headerSize;          // "Header size :"
  std::string skipSize;            // "Size_to_skip_WhileParsing :"
  std::string approxSize;          // "Approx file size :"
  std::string category;            // "Put Under Category :"
};

// Message texts of the editor.
inline constexpr char kNoFileText[] = "Select valid file to save the entries.";
inline constexpr char kEmptyExtensionText[] = "extention length is zero..";
inline constexpr char kEmptySignatureText[] = "signature length is zero..";
inline constexpr char kRecordSavedText[] = "everything initialized well.....";
inline constexpr char kFileNotCreatedText[] = "file can not be created";

// A record built from the fields, or the message that refuses them.
struct BuiltRecord {
  std::optional<SignatureRecord> record;
  std::string message; // why the fields are refused (empty when record is set)
};

// Builds the record that the editor's Save appends to a file of fileLength bytes. The checks, in
// order: an empty extension; no start signature token; a signature of more than ten bytes; a
// starting signature offset that does not leave the signature inside the first 512 bytes; a
// size field the engine could not read (ruleProblem).
[[nodiscard]] BuiltRecord buildSignatureRecord(const SignatureFields &fields,
                                               std::uint64_t fileLength);

} // namespace quillon
