// The two loaders: what they refuse and with which message, how many records they read, the
// ids they give, and the rules they leave out.
#include "carving/signature_file.h"
#include "carving_fixtures.h"
#include "core/progress.h"
#include "support/file_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

namespace L = signature_layout;

std::vector<std::uint8_t> fileOf(const std::vector<SignatureFields> &rules) {
  std::vector<std::uint8_t> bytes;
  for (const SignatureFields &f : rules) {
    const BuiltRecord built = buildSignatureRecord(f, bytes.size());
    EXPECT_TRUE(built.record) << built.message;
    const SignatureRecordBytes r = encodeSignatureRecord(*built.record);
    bytes.insert(bytes.end(), r.begin(), r.end());
  }
  return bytes;
}

SignatureFields rule(const char *ext, const char *signature) {
  SignatureFields f;
  f.extension = ext;
  f.startSignature = signature;
  f.approxSize = "1000";
  return f;
}

std::vector<std::string> messageTexts(const RecordingProgress &progress) {
  std::vector<std::string> texts;
  for (const auto &m : progress.messages()) {
    texts.push_back(m.text);
  }
  return texts;
}

class SignatureLoaders : public ::testing::Test {
protected:
  std::filesystem::path write(const char *name, const std::vector<std::uint8_t> &bytes) {
    const std::filesystem::path p = dir_ / name;
    test::writeFileBytes(p, bytes);
    return p;
  }
  test::TempDir dir_;
  RecordingProgress progress_;
};

TEST_F(SignatureLoaders, RefuseFilesOfTheWrongSize) {
  // A rule with an end signature never reads its size field, so nine bytes harm nothing there.
  SignatureFields closed = rule("jpg", "FF,D8,FF");
  closed.endSignature = "FF,D9";
  std::vector<std::uint8_t> lastSaysNine = fileOf({closed});
  lastSaysNine[L::kBytesInSize] = 9;
  std::vector<std::uint8_t> huge = fileOf({rule("jpg", "FF,D8,FF")});
  huge.resize(kMaxSignatureFileBytes + 1);
  const std::vector<std::pair<const char *, std::vector<std::uint8_t>>> invalid = {
      {"short", std::vector<std::uint8_t>(172)}, {"huge", huge}, {"nine", lastSaysNine}};
  for (const auto &[name, bytes] : invalid) {
    std::unique_ptr<myJpg> engine;
    EXPECT_FALSE(loadSignatureFile(engine, write(name, bytes), progress_)) << name;
    EXPECT_EQ(progress_.messages().back().text, kInvalidSignatureFileText) << name;
    EXPECT_FALSE(engine) << name;
  }
  std::unique_ptr<myJpg> engine;
  EXPECT_FALSE(loadSignatureFile(engine, dir_ / "absent", progress_));
  EXPECT_EQ(progress_.messages().back().text, kCannotOpenSignatureFileText);
  EXPECT_FALSE(loadSignatureFile(engine, dir_.path(), progress_)); // a folder
  EXPECT_EQ(progress_.messages().back().text, kCannotOpenSignatureFileText);

  // The default file: missing says nothing; too short or too long is refused; the
  // number-of-bytes check is the chosen file's only.
  const std::size_t before = progress_.messages().size();
  EXPECT_FALSE(loadDefaultSignatures(engine, dir_ / "absent", progress_));
  EXPECT_EQ(progress_.messages().size(), before);
  EXPECT_FALSE(
      loadDefaultSignatures(engine, write("short2", std::vector<std::uint8_t>(172)), progress_));
  EXPECT_EQ(progress_.messages().back().text, kInvalidSignatureFileText);
  EXPECT_TRUE(loadDefaultSignatures(engine, write("nine2", lastSaysNine), progress_));
  ASSERT_TRUE(engine);
  EXPECT_EQ(engine->rules.size(), 1U);
}

TEST_F(SignatureLoaders, CountRecordsByTheLastIndexWithinTheFile) {
  std::vector<std::uint8_t> bytes =
      fileOf({rule("aaa", "AA,AA"), rule("bbb", "BB,BB"), rule("ccc", "CC,CC")});
  std::unique_ptr<myJpg> engine;
  ASSERT_TRUE(loadSignatureFile(engine, write("three", bytes), progress_));
  EXPECT_EQ(engine->rules.size(), 3U);

  // The last record says index 0: only the first record is read.
  bytes[2 * kSignatureRecordSize + L::kRecordIndex] = 0;
  engine.reset();
  ASSERT_TRUE(loadSignatureFile(engine, write("first", bytes), progress_));
  ASSERT_EQ(engine->rules.size(), 1U);
  EXPECT_EQ(engine->rules[0].extension, "aaa");

  // An index past the end of the file reads only the records that are there.
  bytes[2 * kSignatureRecordSize + L::kRecordIndex] = 200;
  engine.reset();
  ASSERT_TRUE(loadSignatureFile(engine, write("past", bytes), progress_));
  EXPECT_EQ(engine->rules.size(), 3U);

  // Trailing bytes count only through the last-record read at length - 173.
  bytes[2 * kSignatureRecordSize + L::kRecordIndex] = 2;
  bytes.insert(bytes.end(), 10, 0);
  engine.reset();
  ASSERT_TRUE(loadSignatureFile(engine, write("tail", bytes), progress_));
  EXPECT_EQ(engine->rules.size(), 1U); // the index byte read there is 0
}

TEST_F(SignatureLoaders, DefaultRulesComeFirstAndADefaultLoadMakesANewEngine) {
  const auto defaults = write("defaults", fileOf({rule("jpg", "FF,D8,FF"), rule("png", "89,50")}));
  const auto chosen = write("chosen", fileOf({rule("pdf", "25,50,44,46")}));
  std::unique_ptr<myJpg> engine;
  ASSERT_TRUE(loadDefaultSignatures(engine, defaults, progress_));
  const myJpg *first = engine.get();
  ASSERT_TRUE(loadSignatureFile(engine, chosen, progress_));
  EXPECT_EQ(engine.get(), first); // added to the engine that exists
  ASSERT_EQ(engine->signatureEntries.size(), 3U);
  EXPECT_EQ(engine->rules[0].extension, "jpg");
  EXPECT_EQ(engine->rules[2].extension, "pdf");
  EXPECT_EQ(engine->signatureEntries[2].id, 2U);
  EXPECT_EQ(engine->signatureEntries[2].startLength, 4);

  ASSERT_TRUE(loadDefaultSignatures(engine, defaults, progress_));
  EXPECT_EQ(engine->rules.size(), 2U); // a fresh engine
}

TEST_F(SignatureLoaders, RulesTheEngineCannotUseAreLeftOutWithOneMessage) {
  std::vector<std::uint8_t> bytes =
      fileOf({rule("bmp", "42,4D"), rule("jpg", "FF,D8,FF"), rule("wav", "52,49")});
  // Record 0: a header-size rule whose size field lies past the first sector.
  putLe(std::span(bytes), L::kOffsetToSize, 600, 4);
  putLe(std::span(bytes), L::kBytesInSize, 4, 4);
  // Record 2: a start signature that claims 12 bytes.
  bytes[2 * kSignatureRecordSize + L::kStartLength] = 12;
  std::unique_ptr<myJpg> engine;
  ASSERT_TRUE(loadSignatureFile(engine, write("mixed", bytes), progress_));
  ASSERT_EQ(engine->rules.size(), 1U);
  EXPECT_EQ(engine->rules[0].extension, "jpg");
  EXPECT_EQ(engine->signatureEntries[0].id, 0U);
  EXPECT_EQ(
      messageTexts(progress_),
      (std::vector<std::string>{"2 signature(s) of the file cannot be used and are left out:\n"
                                "record 0 (bmp): the size field lies beyond the first 512 bytes\n"
                                "record 2 (wav): a signature of more than 10 bytes"}));
}

} // namespace
} // namespace quillon
