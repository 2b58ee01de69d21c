// HFSP: files the system stored compressed. Their data fork is empty; a com.apple.decmpfs
// attribute (little-endian header: "fpmc", method, uncompressed size) holds the data itself
// (method 1 uncompressed, method 3 zlib) or says that it lies in the resource fork (method 4:
// a resource whose table lists zlib chunks of 64 KiB each). A chunk or an attribute whose first
// byte has the low nibble 0xF holds its bytes uncompressed after that byte. Every offset and
// size read is bounded by the attribute or the fork, and no chunk yields more than 64 KiB.
#include "fs/hfsplus/hfs_layout.h"
#include "fs/hfsplus/hfsplus.h"

#include "core/output_files.h"
#include "core/text_format.h"

#include <zlib.h>

#include <algorithm>
#include <functional>

namespace quillon {

using namespace hfs;

namespace {

constexpr std::size_t kHeaderSize = 16;
constexpr std::uint64_t kChunkSize = 65536;
// A chunk never takes more room than its data stored plainly plus its marker byte, and zlib's
// worst case is a little above that.
constexpr std::uint32_t kMaxStoredChunk = 2 * kChunkSize;

bool storedPlainly(Bytes data) { return !data.empty() && (data[0] & 0x0F) == 0x0F; }

// Inflates a zlib stream, handing the output to sink in pieces and stopping after limit bytes.
// Returns the bytes handed out, or nullopt when the stream is damaged or the sink refused.
std::optional<std::uint64_t> inflateTo(Bytes in, std::uint64_t limit,
                                       const std::function<bool(Bytes)> &sink) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) {
    return std::nullopt;
  }
  z.next_in = const_cast<Bytef *>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  std::vector<std::uint8_t> buffer(kChunkSize);
  std::uint64_t produced = 0;
  std::optional<std::uint64_t> result;
  while (true) {
    const std::uint64_t room = std::min<std::uint64_t>(buffer.size(), limit - produced);
    if (room == 0) {
      result = produced;
      break;
    }
    z.next_out = buffer.data();
    z.avail_out = static_cast<uInt>(room);
    const int rc = inflate(&z, Z_NO_FLUSH);
    const std::uint64_t got = room - z.avail_out;
    if (got != 0 && !sink(Bytes(buffer).first(got))) {
      break;
    }
    produced += got;
    if (rc == Z_STREAM_END || (rc == Z_BUF_ERROR && z.avail_in == 0)) {
      result = produced; // the end of the stream, or of the bytes there are
      break;
    }
    if (rc != Z_OK) {
      break;
    }
  }
  inflateEnd(&z);
  return result;
}

// Writes up to limit bytes of data (stored plainly after a marker byte, or zlib); returns the
// bytes written, nullopt when the data is damaged or cannot be written.
std::optional<std::uint64_t> decodeTo(Bytes data, std::uint64_t limit, OutputFile &out) {
  if (storedPlainly(data)) {
    const Bytes plain = data.subspan(1, std::min<std::uint64_t>(data.size() - 1, limit));
    return out.write(plain) ? std::optional<std::uint64_t>(plain.size()) : std::nullopt;
  }
  return inflateTo(data, limit, [&](Bytes piece) { return out.write(piece); });
}

} // namespace

bool HFSP::writeCompressed(const HfsNode &node, OutputFile &out, std::string &error) {
  const HfsCompression &c = compressedFiles.at(node.cnid);
  std::vector<std::uint8_t> attrNode(attributes.nodeSize, 0);
  (void)readFork(attributes.runs, c.nodeNumber * attributes.nodeSize, attrNode);
  const std::size_t from = std::min<std::size_t>(c.dataOffset, attrNode.size());
  const Bytes attribute =
      Bytes(attrNode).subspan(from, std::min<std::size_t>(c.dataLength, attrNode.size() - from));
  if (attribute.size() < kHeaderSize || !hasBytes(attribute, 0, "fpmc")) {
    error = "its compression attribute cannot be read";
    return false;
  }
  const Bytes payload = attribute.subspan(kHeaderSize);
  std::uint64_t written = 0;
  if (c.type == 1) {
    const Bytes plain = payload.first(std::min<std::uint64_t>(payload.size(), c.size));
    if (!out.write(plain)) {
      error = out.error();
      return false;
    }
    written = plain.size();
  } else if (c.type == 3) {
    const auto got = decodeTo(payload, c.size, out);
    if (!got) {
      error = out.error().empty() ? "its compressed data is damaged" : out.error();
      return false;
    }
    written = *got;
  } else {
    // The resource fork: a header (offset of the resource data), the data's length, then the
    // chunk table (count, then offset and size of each chunk from the count's position).
    const std::vector<HfsRun> runs = forkRuns(node.resource, node.cnid, kHfsResourceFork);
    const std::uint64_t forkLength = std::min(
        node.resource.logicalSize, runs.empty() ? 0 : runs.back().forkOffset + runs.back().length);
    std::array<std::uint8_t, 16> head{};
    (void)readFork(runs, 0, head);
    const std::uint64_t table = std::uint64_t{be32(head, 0)} + 4;
    std::array<std::uint8_t, 4> countBytes{};
    (void)readFork(runs, table, countBytes);
    const std::uint64_t needed = (c.size + kChunkSize - 1) / kChunkSize;
    const std::uint64_t count = std::min<std::uint64_t>(le32(countBytes, 0), needed);
    if (table + 4 + 8 * count > forkLength) {
      error = "its compressed data is damaged (the chunk table runs past the resource fork)";
      return false;
    }
    std::vector<std::uint8_t> entries(8 * count);
    (void)readFork(runs, table + 4, entries);
    std::vector<std::uint8_t> chunk;
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t offset = table + le32(entries, 8 * i);
      const std::uint32_t size = le32(entries, 8 * i + 4);
      if (size == 0 || size > kMaxStoredChunk || offset > forkLength ||
          forkLength - offset < size) {
        error = format("its compressed data is damaged (chunk %llu)",
                       static_cast<unsigned long long>(i));
        return false;
      }
      chunk.assign(size, 0);
      (void)readFork(runs, offset, chunk);
      const std::uint64_t expected = std::min(kChunkSize, c.size - written);
      const auto got = decodeTo(chunk, expected, out);
      if (!got || *got != expected) {
        error = !out.error().empty() ? out.error()
                                     : format("its compressed data is damaged (chunk %llu)",
                                              static_cast<unsigned long long>(i));
        return false;
      }
      written += *got;
    }
  }
  if (written != c.size) {
    error =
        format("its compressed data ends after %llu of %llu bytes",
               static_cast<unsigned long long>(written), static_cast<unsigned long long>(c.size));
    return false;
  }
  return true;
}

} // namespace quillon
