// Fuzz target for raw recovery: a signature file goes through the loaders and its rules carve a
// volume. The input is: one byte of choices, a 16-bit little-endian length L, L bytes of
// signature file, then the volume (at most 3 MiB). A choice bit puts the volume's bytes behind
// almost 1 MiB of zeros, so that small inputs cross a chunk boundary; otherwise the first finds
// are written into a private folder. The editor's parsing reads the file's bytes as typed text.
#include "carving/carving_engine.h"
#include "carving/find_writer.h"
#include "carving/signature_file.h"
#include "core/item_tree.h"
#include "core/progress.h"
#include "core/worker_control.h"
#include "fuzz_file_support.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 3) {
    return 0;
  }
  constexpr std::size_t kMaxVolumeBytes = 3 << 20;
  constexpr std::size_t kWrittenFinds = 4;
  const std::uint8_t choice = data[0];
  const std::size_t fileLength = std::min<std::size_t>(data[1] | (data[2] << 8), size - 3);
  const std::uint8_t *file = data + 3;
  const std::uint8_t *volumeStart = file + fileLength;
  const std::size_t volumeLength = std::min(size - 3 - fileLength, kMaxVolumeBytes);

  // The editor's parsing of typed text.
  const std::string_view text(reinterpret_cast<const char *>(file), fileLength);
  (void)quillon::parseSignatureTokens(text);
  (void)quillon::editorNumber(text);

  const auto path = quillon::fuzz::writeScratchFile("signatures.bin", file, fileLength);
  quillon::NullProgress progress;
  std::unique_ptr<quillon::myJpg> engine;
  const bool loaded = (choice & 1) != 0 ? quillon::loadDefaultSignatures(engine, path, progress)
                                        : quillon::loadSignatureFile(engine, path, progress);
  if (!loaded || !engine) {
    return 0;
  }
  constexpr std::size_t kLeadingZeros = (1 << 20) - 700;
  std::vector<std::uint8_t> bytes((choice & 8) != 0 ? kLeadingZeros : 0);
  bytes.insert(bytes.end(), volumeStart, volumeStart + volumeLength);
  engine->volumeSize = bytes.size();
  engine->readAhead = (choice & 2) != 0;
  quillon::MemoryBytes volume(std::move(bytes));
  quillon::ItemTree tree;
  quillon::WorkerControl control;
  engine->carve(tree, volume, progress, control);
  if (engine->topItem == quillon::kNoItem || (choice & 8) != 0) {
    return 0; // writing a megabyte of zeros per find would only slow the run
  }
  const std::vector<quillon::ItemHandle> finds =
      quillon::findItemsBelow(*engine, tree, engine->topItem, quillon::FindSelection::All);
  const auto out = quillon::fuzz::scratchFolder() / "finds";
  std::filesystem::create_directories(out);
  for (std::size_t i = 0; i < finds.size() && i < kWrittenFinds; ++i) {
    (void)quillon::writeFinds(*engine, tree, finds[i], volume, out, progress, control,
                              quillon::FindSelection::All, (choice & 4) != 0);
  }
  return 0;
}
