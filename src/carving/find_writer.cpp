// Writing finds to files: choosing the finds below a tree item, one category folder each, and
// copying each find's bytes from the volume.
#include "carving/find_writer.h"

#include "core/output_files.h"
#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"

#include <algorithm>
#include <map>
#include <new>

namespace quillon {

namespace {

constexpr std::size_t kCopyBytes = 1 << 20;

std::optional<std::size_t> resultIndex(const myJpg &engine, const ItemTree &tree, ItemHandle item) {
  if (tree.icon(item) != IconKind::File) {
    return std::nullopt;
  }
  const auto *index = std::get_if<std::int64_t>(&tree.data(item));
  if (index == nullptr || *index < 0 ||
      static_cast<std::uint64_t>(*index) >= engine.results.size()) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(*index);
}

std::string failureText(const std::string &name, const std::string &why) {
  std::string text = name;
  text += ": ";
  text += why;
  return text;
}

bool allZero(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

enum class CopyOutcome { Written, Failed, Stopped };

CopyOutcome copyFind(const CarvingResult &find, std::uint64_t volumeSize, VolumeBytes &volume,
                     OutputFile &out, std::vector<std::uint8_t> &buffer, WorkerControl &control,
                     std::string &error) {
  const std::uint64_t end = find.start >= volumeSize
                                ? find.start
                                : find.start + std::min(find.size, volumeSize - find.start);
  std::uint64_t readFailures = 0;
  for (std::uint64_t pos = find.start; pos < end;) {
    if (!control.checkpoint()) {
      return CopyOutcome::Stopped;
    }
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - pos));
    const std::span<std::uint8_t> piece(buffer.data(), n);
    if (!volume.read(pos, piece)) {
      ++readFailures;
    }
    const bool ok = allZero(piece) ? out.skipZeros(n) : out.write(piece);
    if (!ok) {
      error = out.error();
      return CopyOutcome::Failed;
    }
    pos += n;
  }
  if (!out.close()) {
    error = out.error();
    return CopyOutcome::Failed;
  }
  if (readFailures != 0) {
    error = "some of its bytes could not be read and were written as zeros";
  }
  return CopyOutcome::Written;
}

} // namespace

std::vector<ItemHandle> findItemsBelow(const myJpg &engine, const ItemTree &tree, ItemHandle item,
                                       FindSelection selection) {
  std::vector<ItemHandle> finds;
  if (!tree.valid(item)) {
    return finds;
  }
  // Depth-first in tree order with an explicit stack (children pushed in reverse).
  std::vector<ItemHandle> stack{item};
  while (!stack.empty()) {
    const ItemHandle h = stack.back();
    stack.pop_back();
    if (resultIndex(engine, tree, h)) {
      finds.push_back(h);
    }
    const std::vector<ItemHandle> &children = tree.children(h);
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
  if (selection == FindSelection::CheckedOrAll) {
    std::vector<ItemHandle> checked;
    std::copy_if(finds.begin(), finds.end(), std::back_inserter(checked),
                 [&](ItemHandle h) { return tree.isChecked(h); });
    if (!checked.empty()) {
      return checked;
    }
  }
  return finds;
}

FindWriteReport writeFinds(const myJpg &engine, const ItemTree &tree, ItemHandle item,
                           VolumeBytes &volume, const std::filesystem::path &folder,
                           Progress &progress, WorkerControl &control, FindSelection selection,
                           bool endMessage) {
  FindWriteReport report;
  const std::vector<ItemHandle> finds = findItemsBelow(engine, tree, item, selection);
  report.counted = finds.size();
  // The copy buffer needs no more room than the longest find that will be copied.
  std::uint64_t longest = 1;
  for (const ItemHandle h : finds) {
    const CarvingResult &find = engine.results[*resultIndex(engine, tree, h)];
    if (find.start < engine.volumeSize) {
      longest = std::max(longest, std::min(find.size, engine.volumeSize - find.start));
    }
  }
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kCopyBytes, longest)));
  } catch (const std::bad_alloc &) {
    report.failures.emplace_back("no memory for the copy buffer");
    return report;
  }
  std::map<std::string, std::filesystem::path> categoryFolders;
  progress.setRange(0, finds.size());
  for (std::size_t i = 0; i < finds.size(); ++i) {
    progress.setPosition(i);
    if (control.stopRequested()) {
      report.stopped = true;
      break;
    }
    const std::string &name = tree.text(finds[i]);
    const CarvingResult &find = engine.results[*resultIndex(engine, tree, finds[i])];
    const std::string &category =
        find.rule < engine.rules.size() ? engine.rules[find.rule].category : std::string();
    progress.setStatus("Saving " + name);

    auto known = categoryFolders.find(category);
    if (known == categoryFolders.end()) {
      std::string error;
      const std::string folderName =
          safeComponent(category).empty() ? std::string(kNoCategoryFolder) : category;
      const auto made = makeFolderInside(folder, folderName, &error);
      if (!made) {
        report.failures.push_back(failureText(name, error));
        continue;
      }
      known = categoryFolders.emplace(category, *made).first;
    }
    OutputFile out;
    if (!out.open(known->second, name)) {
      report.failures.push_back(failureText(name, out.error()));
      continue;
    }
    std::string error;
    const CopyOutcome outcome =
        copyFind(find, engine.volumeSize, volume, out, buffer, control, error);
    if (outcome == CopyOutcome::Stopped) {
      const std::filesystem::path partial = out.path();
      out = OutputFile();
      std::error_code ec;
      std::filesystem::remove(partial, ec);
      report.stopped = true;
      break;
    }
    if (outcome == CopyOutcome::Failed) {
      report.failures.push_back(failureText(name, error));
      continue;
    }
    if (!error.empty()) {
      report.failures.push_back(failureText(name, error));
    }
    if (find.start >= engine.volumeSize || find.size > engine.volumeSize - find.start) {
      ++report.cut;
    }
    ++report.written;
    report.paths.push_back(out.path());
  }
  progress.setPosition(finds.size());
  if (endMessage) {
    progress.inform(report.failures.empty() ? std::string(kSavingDoneText)
                                            : format("%s. %zu file(s) could not be written.",
                                                     kSavingDoneText, report.failures.size()));
  }
  return report;
}

} // namespace quillon
