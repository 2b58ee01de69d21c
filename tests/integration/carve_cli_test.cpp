// Carving through quillon-cli. A 16 MiB disk with one MBR partition (8 MiB from sector 2048) is
// stored in a sparse VMDK; known JPEG, PNG, PDF and ZIP files lie at known sectors of the
// partition, one JPEG lies before it and one near its end. Carving the partition with the
// default signature file lists exactly the finds its rules make, named by their offsets in the
// volume, and writes each as the volume's bytes from its start, cut at the volume's end.
// Carving the whole disk with a signature file made by `signatures add` (header-size and
// end-signature rules) gives files identical to the originals. The committed default file is
// what data/make_file_setting.sh makes.
#include "core/byte_order.h"
#include "support/cli_runner.h"
#include "support/file_util.h"
#include "support/temp_dir.h"
#include "support/vmdk_builder.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>
#include <zlib.h>

namespace quillon::test {
namespace {

using ByteVec = std::vector<std::uint8_t>;

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kDiskBytes = 16 * kMiB;
constexpr std::uint64_t kVolumeStart = 2048 * 512;
constexpr std::uint64_t kVolumeBytes = 8 * kMiB;

ByteVec randomBytes(std::size_t n, std::uint32_t seed, int limit = 256) {
  std::mt19937 rng(seed);
  ByteVec out(n);
  for (auto &b : out) {
    b = static_cast<std::uint8_t>(rng() % static_cast<unsigned>(limit));
  }
  return out;
}

void append(ByteVec &out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}
void append(ByteVec &out, const ByteVec &bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}
void appendBe(ByteVec &out, std::uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i) {
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
}
void appendLe(ByteVec &out, std::uint64_t v, int n) {
  for (int i = 0; i < n; ++i) {
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
}

// A baseline JPEG of one grey 8x8 block, with a comment segment of filler to make it span
// several sectors. Its Huffman tables hold one code each (DC difference 0, end of block).
ByteVec makeJpeg(std::uint32_t seed) {
  ByteVec j = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10};
  append(j, std::string_view("JFIF\0", 5));
  append(j, ByteVec{1, 1, 0, 0, 1, 0, 1, 0, 0});
  const ByteVec comment = randomBytes(3000, seed, 0x7F);
  append(j, ByteVec{0xFF, 0xFE});
  appendBe(j, comment.size() + 2, 2);
  append(j, comment);
  append(j, ByteVec{0xFF, 0xDB, 0x00, 0x43, 0x00});
  append(j, ByteVec(64, 1));
  append(j, ByteVec{0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x08, 0x00, 0x08, 0x01, 0x01, 0x11, 0x00});
  for (const std::uint8_t tableClass : {0x00, 0x10}) {
    append(j, ByteVec{0xFF, 0xC4, 0x00, 0x14, tableClass, 1});
    append(j, ByteVec(15, 0));
    j.push_back(0x00);
  }
  append(j, ByteVec{0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00, 0x3F, 0xFF, 0xD9});
  return j;
}

void pngChunk(ByteVec &png, const char *type, const ByteVec &data) {
  appendBe(png, data.size(), 4);
  ByteVec typed(type, type + 4);
  append(typed, data);
  append(png, typed);
  appendBe(png, crc32(0, typed.data(), static_cast<uInt>(typed.size())), 4);
}

// A 64x64 grey PNG of noise.
ByteVec makePng() {
  ByteVec png = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  ByteVec ihdr;
  appendBe(ihdr, 64, 4);
  appendBe(ihdr, 64, 4);
  append(ihdr, ByteVec{8, 0, 0, 0, 0});
  pngChunk(png, "IHDR", ihdr);
  ByteVec raw;
  for (int row = 0; row < 64; ++row) {
    raw.push_back(0);
    append(raw, randomBytes(64, 100 + row));
  }
  uLongf len = compressBound(raw.size());
  ByteVec packed(len);
  compress2(packed.data(), &len, raw.data(), raw.size(), 9);
  packed.resize(len);
  pngChunk(png, "IDAT", packed);
  pngChunk(png, "IEND", {});
  return png;
}

// A one-page PDF whose content stream carries some text, with a correct cross-reference table.
ByteVec makePdf() {
  std::string body = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  std::string text;
  for (int i = 0; i < 60; ++i) {
    text += "BT /F1 10 Tf 20 " + std::to_string(780 - 12 * i) + " Td (line " + std::to_string(i) +
            " of the recovered report) Tj ET\n";
  }
  const std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
      "/Resources << /Font << /F1 5 0 R >> >> >>",
      "<< /Length " + std::to_string(text.size()) + " >>\nstream\n" + text + "endstream",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(body.size());
    body += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = body.size();
  body += "xref\n0 6\n0000000000 65535 f \n";
  for (const std::size_t o : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", o);
    body += line;
  }
  body += "trailer\n<< /Size 6 /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return ByteVec(body.begin(), body.end());
}

// A zip with one stored text file.
ByteVec makeZip() {
  const std::string name = "notes.txt";
  ByteVec content = randomBytes(2500, 7, 26);
  for (auto &b : content) {
    b = static_cast<std::uint8_t>('a' + b);
  }
  const auto crc = crc32(0, content.data(), static_cast<uInt>(content.size()));
  ByteVec zip;
  appendLe(zip, 0x04034B50, 4);
  append(zip, ByteVec{20, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  appendLe(zip, crc, 4);
  appendLe(zip, content.size(), 4);
  appendLe(zip, content.size(), 4);
  appendLe(zip, name.size(), 2);
  appendLe(zip, 0, 2);
  append(zip, name);
  append(zip, content);
  const std::size_t central = zip.size();
  appendLe(zip, 0x02014B50, 4);
  append(zip, ByteVec{20, 0, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  appendLe(zip, crc, 4);
  appendLe(zip, content.size(), 4);
  appendLe(zip, content.size(), 4);
  appendLe(zip, name.size(), 2);
  append(zip, ByteVec(12, 0));
  appendLe(zip, 0, 4); // local header offset
  append(zip, name);
  const std::size_t centralSize = zip.size() - central;
  appendLe(zip, 0x06054B50, 4);
  append(zip, ByteVec{0, 0, 0, 0, 1, 0, 1, 0});
  appendLe(zip, centralSize, 4);
  appendLe(zip, central, 4);
  appendLe(zip, 0, 2);
  return zip;
}

// An 8 kHz mono 8-bit WAV of noise.
ByteVec makeWav() {
  const ByteVec samples = randomBytes(6001, 11);
  ByteVec wav;
  append(wav, "RIFF");
  appendLe(wav, 4 + 24 + 8 + samples.size() + 1, 4); // data padded to an even length
  append(wav, "WAVEfmt ");
  appendLe(wav, 16, 4);
  append(wav, ByteVec{1, 0, 1, 0});
  appendLe(wav, 8000, 4);
  appendLe(wav, 8000, 4);
  append(wav, ByteVec{1, 0, 8, 0});
  append(wav, "data");
  appendLe(wav, samples.size(), 4);
  append(wav, samples);
  wav.push_back(0);
  return wav;
}

// A sparse VMDK of the disk: the grains holding data are allocated and filled, the rest are
// holes.
ByteVec sparseVmdkOf(const ByteVec &disk) {
  SparseVmdkLayout layout;
  layout.capacity = disk.size() / 512;
  layout.grainSize = 128;
  layout.numGTEsPerGT = 512;
  const std::size_t grainBytes = layout.grainSize * 512;
  for (std::size_t g = 0; g * grainBytes < disk.size(); ++g) {
    const auto begin = disk.begin() + static_cast<std::ptrdiff_t>(g * grainBytes);
    if (std::any_of(begin, begin + static_cast<std::ptrdiff_t>(grainBytes),
                    [](std::uint8_t b) { return b != 0; })) {
      layout.grains[g] = 0;
    }
  }
  ByteVec file = buildSparseVmdk(layout);
  const std::uint64_t gdOffset = le64(file, 56) * 512;
  for (const auto &[g, fill] : layout.grains) {
    const std::uint64_t table = le32(file, gdOffset + g / layout.numGTEsPerGT * 4) * 512ULL;
    const std::uint64_t at = le32(file, table + g % layout.numGTEsPerGT * 4) * 512ULL;
    std::copy_n(disk.begin() + static_cast<std::ptrdiff_t>(g * grainBytes), grainBytes,
                file.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return file;
}

struct JsonFind {
  std::string category;
  std::string name;
  std::uint64_t start = 0;
  std::uint64_t size = 0;
  bool operator==(const JsonFind &) const = default;
};

std::string jsonField(const std::string &line, const std::string &key) {
  const std::string quoted = "\"" + key + "\":";
  std::size_t at = line.find(quoted);
  if (at == std::string::npos) {
    return {};
  }
  at += quoted.size();
  if (line[at] == '"') {
    return line.substr(at + 1, line.find('"', at + 1) - at - 1);
  }
  return line.substr(at, line.find_first_of(",}", at) - at);
}

std::vector<JsonFind> parseFinds(const std::string &out) {
  std::vector<JsonFind> finds;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.starts_with("{")) {
      finds.push_back({jsonField(line, "category"), jsonField(line, "name"),
                       std::stoull(jsonField(line, "start")),
                       std::stoull(jsonField(line, "size"))});
    }
  }
  return finds;
}

class CarveCli : public ::testing::Test {
protected:
  void SetUp() override {
    disk_.resize(kDiskBytes);
    // MBR: one FAT32-typed partition of 8 MiB from sector 2048 (its contents are never parsed).
    ByteVec entry = {0, 0, 0, 0, 0x0C, 0, 0, 0};
    appendLe(entry, 2048, 4);
    appendLe(entry, kVolumeBytes / 512, 4);
    std::copy(entry.begin(), entry.end(), disk_.begin() + 446);
    disk_[510] = 0x55;
    disk_[511] = 0xAA;
    // Noise of bytes below 0x80 around the files, so no stray signature starts a sector.
    const ByteVec noise = randomBytes(2 * kMiB, 3, 0x80);
    std::copy(noise.begin(), noise.end(),
              disk_.begin() + static_cast<std::ptrdiff_t>(kVolumeStart));

    place(100 * 512, jpegOutside_);                        // before the partition
    place(kVolumeStart + 100 * 512, jpeg_);                // volume offset 51,200
    place(kVolumeStart + 2050 * 512, png_);                // 1,049,600: in the second chunk
    place(kVolumeStart + 5000 * 512, pdf_);                // 2,560,000
    place(kVolumeStart + 9000 * 512, zip_);                // 4,608,000
    place(kVolumeStart + kVolumeBytes - 4096, jpegAtEnd_); // cut at the volume's end
    place(kVolumeStart + kVolumeBytes + 512, jpegAfter_);  // after the partition
    writeFileBytes(dir_ / "disk.vmdk", sparseVmdkOf(disk_));
  }

  void place(std::uint64_t offset, const ByteVec &bytes) {
    std::copy(bytes.begin(), bytes.end(), disk_.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  ByteVec diskSlice(std::uint64_t offset, std::uint64_t size) const {
    return {disk_.begin() + static_cast<std::ptrdiff_t>(offset),
            disk_.begin() + static_cast<std::ptrdiff_t>(offset + size)};
  }
  CliResult cli(std::vector<std::string> args) const { return runProgram(QUILLON_CLI, args); }

  TempDir dir_;
  ByteVec disk_;
  ByteVec jpeg_ = makeJpeg(1);
  ByteVec jpegOutside_ = makeJpeg(2);
  ByteVec jpegAtEnd_ = makeJpeg(3);
  ByteVec jpegAfter_ = makeJpeg(4);
  ByteVec png_ = makePng();
  ByteVec pdf_ = makePdf();
  ByteVec zip_ = makeZip();
};

TEST_F(CarveCli, TheDefaultSignaturesFindTheFilesOfTheChosenVolume) {
  const std::string out = (dir_ / "out").string();
  const CliResult r =
      cli({"carve", (dir_ / "disk.vmdk").string(), "--volume", "0", "--out", out, "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // Default rules: JPEG and PNG 8 MiB, PDF 16 MiB, ZIP 32 MiB; named by the volume offset.
  const std::vector<JsonFind> expected = {
      {"Images", "51200 .jpg", 51200, 8 * kMiB},
      {"Images", "1049600 .png", 1049600, 8 * kMiB},
      {"Images", "8384512 .jpg", kVolumeBytes - 4096, 8 * kMiB},
      {"Documents", "2560000 .pdf", 2560000, 16 * kMiB},
      {"Archives", "4608000 .zip", 4608000, 32 * kMiB},
  };
  EXPECT_EQ(parseFinds(r.out), expected);
  for (const JsonFind &f : expected) {
    const std::uint64_t kept = std::min(f.size, kVolumeBytes - f.start);
    const ByteVec written = readFileBytes(std::filesystem::path(out) / f.category / f.name);
    ASSERT_EQ(written.size(), kept) << f.name;
    EXPECT_TRUE(written == diskSlice(kVolumeStart + f.start, kept)) << f.name;
  }
  // Each written file begins with the original file.
  const auto startsWith = [&](const char *path, const ByteVec &original) {
    const ByteVec written = readFileBytes(std::filesystem::path(out) / path);
    return written.size() >= original.size() &&
           std::equal(original.begin(), original.end(), written.begin());
  };
  EXPECT_TRUE(startsWith("Images/51200 .jpg", jpeg_));
  EXPECT_TRUE(startsWith("Images/1049600 .png", png_));
  EXPECT_TRUE(startsWith("Documents/2560000 .pdf", pdf_));
  EXPECT_TRUE(startsWith("Archives/4608000 .zip", zip_));
  EXPECT_TRUE(startsWith("Images/8384512 .jpg", jpegAtEnd_)); // 4,096 bytes were left for it

  // The text report lists the finds under their categories with counts.
  const CliResult text =
      cli({"carve", (dir_ / "disk.vmdk").string(), "--volume", "0", "--out", out});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_NE(text.out.find("Images (3)\n  51200 .jpg"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("Archives (1)\n  4608000 .zip"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("5 of 5 finds written into " + out + " (5 cut at the end of volume 0)"),
            std::string::npos)
      << text.out;
}

TEST_F(CarveCli, AChosenSignatureFileFindsExactFilesAcrossTheWholeDisk) {
  // A file type of our own that ends with a marker at the start of a sector.
  ByteVec dat = {0xDA, 0x7A, 0x01, 0x02};
  append(dat, randomBytes(3 * 512 - 4, 21, 0x80));
  append(dat, ByteVec{0xDA, 0x7A, 0xFF, 0xFE});
  const ByteVec wav = makeWav();
  const std::uint64_t datAt = kVolumeStart + 3000 * 512;
  const std::uint64_t wavAt = kVolumeStart + 3100 * 512;
  place(datAt, dat);
  place(wavAt, wav);
  writeFileBytes(dir_ / "disk.vmdk", sparseVmdkOf(disk_));

  const std::string sig = (dir_ / "mine.sig").string();
  for (const std::vector<std::string> &rule : std::vector<std::vector<std::string>>{
           {"--ext", "dat", "--start-sig", "DA,7A,01,02", "--end-sig", "0xDA,0x7A,0xFF,0xFE",
            "--approx-size", "100000", "--category", "Data"},
           {"--ext", "wav", "--start-sig", "52,49,46,46,*,*,*,*,57,41", "--size-offset", "4",
            "--size-bytes", "4", "--header-size", "8", "--approx-size", "1000000", "--category",
            "Audio"}}) {
    std::vector<std::string> args = {"signatures", "add", sig};
    args.insert(args.end(), rule.begin(), rule.end());
    const CliResult added = cli(args);
    ASSERT_EQ(added.exitCode, 0) << added.err;
  }
  const CliResult listed = cli({"signatures", "list", sig});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  EXPECT_NE(
      listed.out.find("0: .dat  category \"Data\"\n  start signature DA,7A,01,02 at offset 0\n"
                      "  end signature   DA,7A,FF,FE\n"),
      std::string::npos)
      << listed.out;
  EXPECT_NE(listed.out.find("  size field      4 bytes at offset 4, header 8 bytes\n"),
            std::string::npos)
      << listed.out;

  const std::string out = (dir_ / "out").string();
  const CliResult r = cli({"carve", (dir_ / "disk.vmdk").string(), "--signatures", sig,
                           "--no-default", "--out", out, "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // The whole disk: offsets are disk offsets. The end-signature find is named by the sector
  // holding its end.
  const std::uint64_t datEnd = datAt + 3 * 512;
  EXPECT_EQ(parseFinds(r.out),
            (std::vector<JsonFind>{{"Data", std::to_string(datEnd) + " .dat", datAt, dat.size()},
                                   {"Audio", std::to_string(wavAt) + " .wav", wavAt, wav.size()}}));
  EXPECT_TRUE(readFileBytes(std::filesystem::path(out) / "Data" /
                            (std::to_string(datEnd) + " .dat")) == dat);
  EXPECT_TRUE(readFileBytes(std::filesystem::path(out) / "Audio" /
                            (std::to_string(wavAt) + " .wav")) == wav);
}

TEST_F(CarveCli, RefusalsAndUsageErrors) {
  const std::string image = (dir_ / "disk.vmdk").string();
  const std::string out = (dir_ / "out").string();
  const CliResult missing =
      cli({"carve", image, "--signatures", (dir_ / "none.sig").string(), "--out", out});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("quillon-cli: Cannot open the selected file\n"), std::string::npos)
      << missing.err;
  EXPECT_NE(missing.err.find("no scan was started"), std::string::npos);

  writeFileBytes(dir_ / "short.sig", ByteVec(172));
  const CliResult shortFile = cli({"signatures", "list", (dir_ / "short.sig").string()});
  EXPECT_EQ(shortFile.exitCode, 1);
  EXPECT_NE(shortFile.err.find("Please select a valid file.."), std::string::npos);

  const CliResult noExt =
      cli({"signatures", "add", (dir_ / "new.sig").string(), "--start-sig", "FF,D8"});
  EXPECT_EQ(noExt.exitCode, 1);
  EXPECT_NE(noExt.err.find("extention length is zero.."), std::string::npos) << noExt.err;

  EXPECT_EQ(cli({"carve", image, "--no-default", "--out", out}).exitCode, 2);
  EXPECT_EQ(cli({"carve", image}).exitCode, 2);
  EXPECT_EQ(
      cli({"signatures", "add", "x.sig", "--ext", "a", "--start-sig", "1,2", "--skip", "lots"})
          .exitCode,
      2);
}

TEST(CarveDefaultSignatures, TheCommittedFileIsWhatItsScriptMakes) {
  TempDir dir;
  const std::string made = (dir / "FileSetting.txt").string();
  const CliResult r =
      runProgram("/bin/bash", {std::string(QUILLON_SOURCE_DIR) + "/data/make_file_setting.sh",
                               QUILLON_CLI, made});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(readFileBytes(made) ==
              readFileBytes(std::string(QUILLON_SOURCE_DIR) + "/data/FileSetting.txt"))
      << "run data/make_file_setting.sh and commit data/FileSetting.txt";
  // Every rule of it can be used.
  const CliResult listed = runProgram(QUILLON_CLI, {"signatures", "list", made});
  EXPECT_EQ(listed.out.find("not used"), std::string::npos) << listed.out;
}

} // namespace
} // namespace quillon::test
