// The 173-byte signature record and the editor's logic: field offsets and widths, the record
// index, the -1 rules, the category text, signature tokens and numbers as typed, the editor's
// refusals, and the file the editor writes.
#include "carving/signature_file.h"
#include "carving/signature_record.h"
#include "core/progress.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <limits>

namespace quillon {
namespace {

namespace L = signature_layout;
using Bytes8 = std::vector<std::uint8_t>;

Bytes8 at(const SignatureRecordBytes &r, std::size_t offset, std::size_t length) {
  return {r.begin() + static_cast<std::ptrdiff_t>(offset),
          r.begin() + static_cast<std::ptrdiff_t>(offset + length)};
}

SignatureFields fullFields() {
  SignatureFields f;
  f.extension = "wav";
  f.startSignature = "0x52,0x49,0x46,0x46";
  f.startOffset = "4";
  f.endSignature = "AA,BB";
  f.offsetToSize = "4";
  f.bytesInSize = "4";
  f.sizeIncludesHeader = true;
  f.headerSize = "8";
  f.skipSize = "4096";
  f.approxSize = "50000";
  f.category = "Audio";
  return f;
}

TEST(SignatureRecord, FieldsLieAtTheirOffsetsWithTheirWidths) {
  const BuiltRecord built = buildSignatureRecord(fullFields(), 2 * kSignatureRecordSize);
  ASSERT_TRUE(built.record) << built.message;
  const SignatureRecordBytes r = encodeSignatureRecord(*built.record);
  EXPECT_EQ(at(r, L::kExtension, 10), (Bytes8{'w', 0, 'a', 0, 'v', 0, 0, 0, 0, 0}));
  EXPECT_EQ(at(r, L::kStartOffset, 2), (Bytes8{4, 0}));
  EXPECT_EQ(r[L::kExtensionLength], 3);
  EXPECT_EQ(at(r, L::kStartSignature, 10), (Bytes8{0x52, 0x49, 0x46, 0x46, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(at(r, L::kEndSignature, 10), (Bytes8{0xAA, 0xBB, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(r[L::kStartLength], 4);
  EXPECT_EQ(r[L::kEndLength], 2);
  EXPECT_EQ(r[L::kRecordIndex], 2); // two records before it
  EXPECT_EQ(at(r, L::kOffsetToSize, 4), (Bytes8{4, 0, 0, 0}));
  EXPECT_EQ(at(r, L::kBytesInSize, 4), (Bytes8{4, 0, 0, 0}));
  EXPECT_EQ(at(r, L::kHeaderSize, 4), (Bytes8{8, 0, 0, 0}));
  EXPECT_EQ(r[L::kSizeIncludesHeader], 1);
  EXPECT_EQ(at(r, 0x31, 4), (Bytes8{0, 0, 0, 0}));
  EXPECT_EQ(at(r, L::kApproxSize, 8), (Bytes8{0x50, 0xC3, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(at(r, L::kSkipSize, 8), (Bytes8{0x00, 0x10, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(at(r, L::kCategory, 12), (Bytes8{'A', 0, 'u', 0, 'd', 0, 'i', 0, 'o', 0, 0, 0}));
  EXPECT_EQ(at(r, 0xA9, 4), (Bytes8{0, 0, 0, 0}));

  // Decoding gives the same record back.
  const SignatureRecord back = decodeSignatureRecord(r);
  EXPECT_EQ(back.extension, u"wav");
  EXPECT_EQ(back.startOffset, 4);
  EXPECT_EQ(back.recordIndex, 2);
  EXPECT_EQ(back.offsetToSize, 4);
  EXPECT_EQ(back.headerSize, 8);
  EXPECT_TRUE(back.sizeIncludesHeader);
  EXPECT_EQ(back.approxSize, 50000);
  EXPECT_EQ(back.skipSize, 4096);
  EXPECT_EQ(back.category, u"Audio");
  EXPECT_EQ(encodeSignatureRecord(back), r);
}

TEST(SignatureRecord, OffsetToSizeIsStoredOnlyAboveZeroAndTheIndexIsOneByte) {
  for (const auto &[text, stored] : std::vector<std::pair<const char *, std::int32_t>>{
           {"", -1}, {"0", -1}, {"-5", -1}, {"abc", -1}, {"12", 12}}) {
    SignatureFields f;
    f.extension = "jpg";
    f.startSignature = "FF,D8,FF";
    f.offsetToSize = text;
    const BuiltRecord built = buildSignatureRecord(f, 0);
    ASSERT_TRUE(built.record) << text;
    const SignatureRecordBytes r = encodeSignatureRecord(*built.record);
    EXPECT_EQ(static_cast<std::int32_t>(le32(r, L::kOffsetToSize)), stored) << text;
  }
  SignatureFields f;
  f.extension = "jpg";
  f.startSignature = "FF,D8,FF";
  EXPECT_EQ(encodeSignatureRecord(
                *buildSignatureRecord(f, 255 * kSignatureRecordSize).record)[L::kRecordIndex],
            255);
  // A 257th record would be index 0 again and hide the file's other records from the loader.
  const BuiltRecord full = buildSignatureRecord(f, 256 * kSignatureRecordSize);
  EXPECT_FALSE(full.record);
  EXPECT_EQ(full.message, "the file already holds 256 signatures..");
}

TEST(SignatureRecord, LongExtensionsAndCategoriesAreCutToTheirRoom) {
  SignatureFields f;
  f.extension = "jpeg2";
  f.startSignature = "FF,D8";
  f.category = std::string(60, 'c');
  const SignatureRecordBytes r = encodeSignatureRecord(*buildSignatureRecord(f, 0).record);
  EXPECT_EQ(r[L::kExtensionLength], 5); // the full length...
  EXPECT_EQ(at(r, L::kExtension, 10),
            (Bytes8{'j', 0, 'p', 0, 'e', 0, 'g', 0, 0, 0})); // ...four kept
  EXPECT_EQ(decodeSignatureRecord(r).category, std::u16string(49, u'c'));
  EXPECT_EQ(at(r, L::kCategory + 98, 2), (Bytes8{0, 0})); // the terminator
}

TEST(SignatureRecord, SignatureTokensAsTyped) {
  const std::vector<std::pair<const char *, Bytes8>> cases = {
      {"0x89,0x50,0x4E,0x47", {0x89, 0x50, 0x4E, 0x47}},
      {"89,50,4E,47", {0x89, 0x50, 0x4E, 0x47}},
      {"FF,D8,FF", {0xFF, 0xD8, 0xFF}},
      {"ff,,,d8,", {0xFF, 0xD8}}, // a run of commas is one separator
      {" 0xff , D8 ", {0xFF, 0xD8}},
      {"1FF,0x100", {0xFF, 0x00}}, // the low byte is kept
      {"FF,*,FF", {0xFF, 0x2A, 0xFF}},
      {"zz,41", {0x00, 0x41}},
      {"", {}},
      {",,", {}},
  };
  for (const auto &[text, bytes] : cases) {
    EXPECT_EQ(parseSignatureTokens(text), bytes) << text;
  }
}

TEST(SignatureRecord, NumbersAsTyped) {
  const std::vector<std::pair<const char *, std::int32_t>> cases = {
      {"", 0},    {"abc", 0}, {"12abc", 12},
      {" 7", 7},  {"-3", -3}, {"99999999999", std::numeric_limits<std::int32_t>::max()},
      {"+20", 20}};
  for (const auto &[text, value] : cases) {
    EXPECT_EQ(editorNumber(text), value) << text;
  }
}

TEST(SignatureRecord, EditorRefusals) {
  struct Case {
    SignatureFields fields;
    const char *message;
  };
  const auto with = [](auto change) {
    SignatureFields f;
    f.extension = "bin";
    f.startSignature = "AA,BB";
    change(f);
    return f;
  };
  const std::vector<Case> cases = {
      {with([](SignatureFields &f) { f.extension.clear(); }), "extention length is zero.."},
      {with([](SignatureFields &f) { f.startSignature = ",,"; }), "signature length is zero.."},
      {with([](SignatureFields &f) { f.startSignature = "1,2,3,4,5,6,7,8,9,10,11"; }),
       "a signature holds at most 10 bytes.."},
      {with([](SignatureFields &f) { f.endSignature = "1,2,3,4,5,6,7,8,9,10,11"; }),
       "a signature holds at most 10 bytes.."},
      {with([](SignatureFields &f) { f.startOffset = "511"; }),
       "the starting signature offset must be from 0 to 510.."},
      {with([](SignatureFields &f) { f.startOffset = "-1"; }),
       "the starting signature offset must be from 0 to 510.."},
      {with([](SignatureFields &f) { f.bytesInSize = "4"; }), "the size field has no offset.."},
      {with([](SignatureFields &f) {
         f.offsetToSize = "509";
         f.bytesInSize = "4";
       }),
       "the size field lies beyond the first 512 bytes.."},
      {with([](SignatureFields &f) {
         f.offsetToSize = "100";
         f.bytesInSize = "4";
         f.headerSize = "409";
       }),
       "the size field lies beyond the first 512 bytes.."},
  };
  for (const Case &c : cases) {
    const BuiltRecord built = buildSignatureRecord(c.fields, 0);
    EXPECT_FALSE(built.record) << c.message;
    EXPECT_EQ(built.message, c.message);
  }
  // The same header counts nothing when the size includes it; a rule with an end signature
  // never reads its size field.
  EXPECT_TRUE(buildSignatureRecord(with([](SignatureFields &f) {
                                     f.offsetToSize = "100";
                                     f.bytesInSize = "4";
                                     f.headerSize = "409";
                                     f.sizeIncludesHeader = true;
                                   }),
                                   0)
                  .record);
  EXPECT_TRUE(buildSignatureRecord(with([](SignatureFields &f) {
                                     f.endSignature = "CC,DD";
                                     f.bytesInSize = "4";
                                   }),
                                   0)
                  .record);
}

TEST(SignatureFileWriter, SavesAppendRecordsNumberedByTheirPlace) {
  test::TempDir dir;
  RecordingProgress progress;
  SignatureFileWriter writer;
  SignatureFields f;
  f.extension = "png";
  f.startSignature = "89,50,4E,47";

  EXPECT_FALSE(writer.appendSignatureRecord(f, progress));
  ASSERT_TRUE(writer.chooseSignatureFile(dir / "sig.bin", progress));
  EXPECT_TRUE(writer.appendSignatureRecord(f, progress));
  f.extension.clear();
  EXPECT_FALSE(writer.appendSignatureRecord(f, progress)); // refused: nothing written
  f.extension = "jpg";
  EXPECT_TRUE(writer.appendSignatureRecord(f, progress));

  std::vector<std::uint8_t> bytes = test::readFileBytes(dir / "sig.bin");
  ASSERT_EQ(bytes.size(), 346U);
  EXPECT_EQ(bytes[L::kRecordIndex], 0);
  EXPECT_EQ(bytes[kSignatureRecordSize + L::kRecordIndex], 1);
  std::vector<std::string> texts;
  for (const auto &m : progress.messages()) {
    texts.push_back(m.text);
    EXPECT_EQ(m.caption, kAppTitle);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{kNoFileText, kRecordSavedText, kEmptyExtensionText,
                                             kRecordSavedText}));

  // Adding to the file keeps its records; choosing it again empties it.
  SignatureFileWriter adder;
  ASSERT_TRUE(adder.openForAdding(dir / "sig.bin", progress));
  EXPECT_TRUE(adder.appendSignatureRecord(f, progress));
  bytes = test::readFileBytes(dir / "sig.bin");
  ASSERT_EQ(bytes.size(), 3 * kSignatureRecordSize);
  EXPECT_EQ(bytes[2 * kSignatureRecordSize + L::kRecordIndex], 2);
  ASSERT_TRUE(adder.chooseSignatureFile(dir / "sig.bin", progress));
  EXPECT_TRUE(test::readFileBytes(dir / "sig.bin").empty());

  EXPECT_FALSE(adder.chooseSignatureFile(dir / "missing" / "sig.bin", progress));
  EXPECT_EQ(progress.messages().back().text, kFileNotCreatedText);
  EXPECT_FALSE(adder.isOpen());
}

} // namespace
} // namespace quillon
