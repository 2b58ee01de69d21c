// LZNT1 decompression over hand-made chunks.
#include "fs/ntfs/lznt1.h"

#include "support/ntfs_data_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon {
namespace {

using Buffer = std::vector<std::uint8_t>;

Buffer bytes(std::string_view text) { return Buffer(text.begin(), text.end()); }

Buffer cat(std::initializer_list<Buffer> parts) {
  Buffer out;
  for (const auto &p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

// A compressed chunk from its data bytes (header: compressed, size - 1).
Buffer chunk(const Buffer &data) {
  const std::size_t field = data.size() - 1;
  return cat(
      {{static_cast<std::uint8_t>(field & 0xFF), static_cast<std::uint8_t>(0xB0 | (field >> 8))},
       data});
}

std::string decompress(const Buffer &input, std::size_t outputSize = 8192) {
  Buffer out(outputSize, 0xEE);
  const std::size_t n = lznt1Decompress(input, out);
  EXPECT_LE(n, outputSize);
  return std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
}

TEST(Lznt1, DecodesHandMadeChunks) {
  const Buffer sixteen = bytes("0123456789abcdef");
  const struct {
    const char *what;
    Buffer input;
    std::string expected;
  } cases[] = {
      {"literals under two flag bytes",
       chunk(cat({{0x00}, bytes("ABCDEFGH"), {0x00}, bytes("IJ")})), "ABCDEFGHIJ"},
      // p = 2: 4 bits of displacement, 12 of length; the copy overlaps what it produces.
      {"overlapping copy", chunk(cat({{0x04}, bytes("ab"), {0x03, 0x10}})), "abababab"},
      {"run of one byte", chunk(cat({{0x02}, bytes("x"), {0x07, 0x00}})), std::string(11, 'x')},
      // p = 16: token 0xF000 is displacement 16, length 3.
      {"split at 16",
       chunk(cat({{0x00}, bytes("01234567"), {0x00}, bytes("89abcdef"), {0x01}, {0x00, 0xF0}})),
       "0123456789abcdef012"},
      // p = 17: one more displacement bit, so 0x8000 is displacement 17 (not 9), length 3.
      {"split at 17",
       chunk(cat({{0x00},
                  bytes("01234567"),
                  {0x00},
                  bytes("89abcdef"),
                  {0x02},
                  bytes("g"),
                  {0x00, 0x80}})),
       "0123456789abcdefg012"},
      {"zero header ends the unit",
       cat({chunk(cat({{0x00}, bytes("AB")})), {0x00, 0x00}, chunk(cat({{0x00}, bytes("CD")}))}),
       "AB"},
      {"chunk claiming more than the input",
       cat({chunk(cat({{0x00}, bytes("AB")})), {0x63, 0xB0}, bytes("CDEFGH")}), "AB"},
      {"reference before the output start", chunk(cat({{0x01}, {0x00, 0x10}, bytes("A")})), ""},
      {"reference before the chunk start",
       cat({chunk(cat({{0x00}, bytes("ABCD")})), chunk(cat({{0x04}, bytes("xy"), {0x00, 0x20}}))}),
       "ABCDxy"},
      {"token cut by the end of the chunk", chunk(cat({{0x02}, bytes("A"), {0x00}})), "A"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(decompress(c.input), c.expected) << c.what;
  }
}

TEST(Lznt1, RawChunkOnlyAtFullSizeAndPositionsRestartPerChunk) {
  const Buffer data = test::patternBytes(4096, 1);
  // The second chunk's reference (displacement 2 at p = 2) reads its own bytes, not the raw
  // chunk's.
  const Buffer input =
      cat({test::lznt1RawChunk(data), chunk(cat({{0x04}, bytes("pq"), {0x00, 0x10}}))});
  const std::string out = decompress(input);
  EXPECT_EQ(out, std::string(data.begin(), data.end()) + "pqpqp");
  // Without the compressed flag but shorter than 4096 bytes, a chunk is still decoded: its first
  // byte is a flag byte, not data.
  EXPECT_EQ(decompress(cat({{0x04, 0x30, 0x00}, bytes("abcd")})), "abcd");
}

TEST(Lznt1, NeverWritesPastTheOutput) {
  Buffer storage(16, 0xEE);
  const auto out = std::span(storage).first(5);
  // A copy that would run on to 11 bytes, and a raw chunk larger than the room.
  EXPECT_EQ(lznt1Decompress(chunk(cat({{0x02}, bytes("x"), {0x07, 0x00}})), out), 5u);
  EXPECT_EQ(lznt1Decompress(test::lznt1RawChunk(test::patternBytes(4096, 2)), out), 5u);
  EXPECT_TRUE(std::all_of(storage.begin() + 5, storage.end(), [](auto b) { return b == 0xEE; }));
}

TEST(Lznt1, RoundTripsCompressedUnits) {
  // Text-like data with repeats at every distance, and bytes that do not compress (raw chunks).
  Buffer text;
  for (int i = 0; text.size() < 9000; ++i) {
    const std::string line = "line " + std::to_string(i % 37) + " of the file\n";
    text.insert(text.end(), line.begin(), line.end());
  }
  for (const Buffer &data : {text, test::patternBytes(10000, 3)}) {
    const Buffer packed = test::lznt1Compress(data);
    Buffer out(data.size() + 100, 0);
    ASSERT_EQ(lznt1Decompress(packed, out), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin()));
  }
}

} // namespace
} // namespace quillon
