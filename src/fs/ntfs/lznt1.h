// LZNT1 decompression, the scheme NTFS uses for compressed data: a compression unit is a
// sequence of chunks of at most 4096 bytes of output, each either stored raw or as flag bytes
// followed by literals and back-references.
#pragma once

#include "core/byte_order.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillon {

// Largest output of one chunk.
inline constexpr std::size_t kLznt1ChunkSize = 4096;

// Decompresses input into output and returns the number of bytes produced. Decoding ends at a
// chunk header whose size field is 0, at the end of the input, at a chunk that claims more bytes
// than the input holds, at a back-reference that reaches before the start of its chunk, and
// when the output is full; whatever was produced until then stays. Never writes past output.
std::size_t lznt1Decompress(Bytes input, std::span<std::uint8_t> output);

} // namespace quillon
