// The save procedure and the folder walks behind it.
#include "browse/save_folder.h"

#include "browse/folder_walk.h"
#include "core/output_files.h"
#include "core/progress.h"
#include "core/text_format.h"
#include "core/worker_control.h"

#include <algorithm>
#include <set>

namespace quillon {

namespace {

// The folder an image's folder name becomes inside parent. A name that cannot be a path
// component (".." or only white space) gets underscores instead, so its contents are still
// saved; a name taken by something that is not a folder gets a numbered variant.
std::optional<std::filesystem::path> folderFor(const std::filesystem::path &parent,
                                               const std::string &name, std::string &error) {
  std::string component = safeComponent(name);
  if (component.empty()) {
    component.assign(std::max<std::size_t>(1, std::min(name.size(), kMaxNameBytes)), '_');
  }
  if (auto made = makeFolderInside(parent, component, &error)) {
    return made;
  }
  const std::filesystem::path other = uniqueFolder(parent, component);
  std::error_code ec;
  if (other.parent_path() == parent && std::filesystem::create_directory(other, ec)) {
    return other;
  }
  return std::nullopt;
}

// The name a file is saved under in folder. Two entries of one folder may carry the same name
// (a deleted file beside a live one of that name, or damage); the later one gets " (2)",
// " (3)", ... before its extension instead of overwriting what this save already wrote.
std::string nameInSave(const std::filesystem::path &folder, const std::string &name,
                       std::set<std::filesystem::path> &written) {
  const std::string safe = safeComponent(name);
  if (safe.empty() || written.insert(folder / safe).second) {
    return {};
  }
  const std::size_t dot = safe.rfind('.');
  const bool hasExtension = dot != std::string::npos && dot > 0;
  const std::string stem = hasExtension ? safe.substr(0, dot) : safe;
  const std::string extension = hasExtension ? safe.substr(dot) : std::string();
  for (unsigned n = 2;; ++n) {
    const std::string candidate = safeComponent(stem + " (" + std::to_string(n) + ")" + extension);
    std::error_code ec;
    if (!candidate.empty() && !written.contains(folder / candidate) &&
        !std::filesystem::exists(std::filesystem::symlink_status(folder / candidate, ec))) {
      written.insert(folder / candidate);
      return candidate;
    }
  }
}

} // namespace

std::uint64_t countFiles(FsBrowser &browser, const ItemData &folder, WorkerControl *control) {
  std::uint64_t count = 0;
  walkBelow(
      browser, folder, 0, control, [&](const ItemData &, const EntryInfo &, int) { ++count; },
      [](const ItemData &, const EntryInfo &, int, int) { return true; },
      [](const ItemData &, const EntryInfo &, int) {});
  return count;
}

void saveFolderContents(FsBrowser &browser, const ItemData &folder,
                        const std::filesystem::path &out, Progress &progress,
                        WorkerControl &control, std::uint64_t &counter, SaveReport &report) {
  std::set<std::filesystem::path> written;
  const bool finished = walkBelow(
      browser, folder, out, &control,
      [&](const ItemData &file, const EntryInfo &info, const std::filesystem::path &path) {
        progress.setPosition(counter);
        ++counter;
        ++report.handled;
        progress.setStatus("saving File  " + (path / "").string() + info.name);
        progress.setSecondStatus(
            format("File size: %llu kb", static_cast<unsigned long long>(info.statusSize / 1024)));
        if (!browser.writesFile(info)) {
          ++report.skipped;
        } else if (const SaveOutcome saved =
                       browser.saveFile(file, path, nameInSave(path, info.name, written));
                   saved.written) {
          ++report.written;
        } else {
          report.failures.push_back((path / info.name).string() + ": " + saved.error);
        }
        progress.setSecondStatus("");
      },
      [&](const ItemData &, const EntryInfo &info, const std::filesystem::path &path,
          std::filesystem::path &inner) {
        progress.setPosition(counter);
        if (info.name.empty()) {
          return true; // a nameless folder's contents go where it stands
        }
        std::string error;
        if (auto made = folderFor(path, info.name, error)) {
          inner = *made;
          return true;
        }
        // Its files could not be written anywhere under their folder: count them as failed.
        report.failures.push_back((path / info.name).string() + ": " + error);
        return false;
      },
      [&](const ItemData &, const EntryInfo &info, const std::filesystem::path &path) {
        report.failures.push_back((path / info.name).string() +
                                  ": folders nest too deep to be followed");
      });
  if (!finished) {
    report.status = SaveReport::Status::Stopped;
  }
}

SaveReport saveFolder(FsBrowser &browser, const ItemData &folder, const std::filesystem::path &out,
                      Progress &progress, WorkerControl &control) {
  SaveReport report;
  if (out.empty()) {
    progress.inform(kSelectOutputFolderText);
    report.status = SaveReport::Status::NoOutputFolder;
    return report;
  }
  if (!std::holds_alternative<std::monostate>(folder) &&
      (!browser.owns(folder) || !browser.info(folder).folder)) {
    report.status = SaveReport::Status::NotAFolder;
    return report;
  }
  report.counted = countFiles(browser, folder);
  progress.setRange(0, report.counted);
  const MessageAnswer answer = progress.message(
      format("number of files found inside this folder = %lld .do u want to continue dumping "
             "these files..?",
             static_cast<long long>(report.counted)),
      kAppTitle, MessageIcon::Question, MessageButtons::YesNo);
  if (answer != MessageAnswer::Yes) {
    report.status = SaveReport::Status::Declined;
    return report;
  }
  std::uint64_t counter = 0;
  saveFolderContents(browser, folder, out, progress, control, counter, report);
  progress.setPosition(report.counted);
  progress.inform(kSavingDoneText);
  return report;
}

SaveReport saveSelectedFolder(FsBrowser &browser, const ItemTree &tree, ItemHandle selected,
                              const std::filesystem::path &out, Progress &progress,
                              WorkerControl &control) {
  if (out.empty()) {
    progress.inform(kSelectOutputFolderText);
    SaveReport report;
    report.status = SaveReport::Status::NoOutputFolder;
    return report;
  }
  if (!tree.valid(selected) || tree.icon(selected) == IconKind::Placeholder ||
      std::holds_alternative<std::monostate>(tree.data(selected))) {
    SaveReport report;
    report.status = SaveReport::Status::NotAFolder;
    return report;
  }
  return saveFolder(browser, tree.data(selected), out, progress, control);
}

} // namespace quillon
