// Name search over the parser's tables with a wide-character regular expression, so that "."
// stands for one character of the name rather than one byte of its UTF-8 form.
#include "browse/search.h"

#include "browse/folder_walk.h"
#include "browse/save_folder.h"
#include "core/progress.h"
#include "core/text_convert.h"
#include "core/text_format.h"
#include "core/worker_control.h"

#include <regex>

namespace quillon {

namespace {

// UTF-8 to one wchar_t per code point (wchar_t holds UTF-32 here); malformed bytes become
// U+FFFD.
static_assert(sizeof(wchar_t) == sizeof(char32_t), "names are matched as UTF-32");
std::wstring widen(std::string_view s) {
  const std::u32string points = utf8ToUtf32(s);
  return {points.begin(), points.end()};
}

std::optional<std::wregex> compile(std::string_view pattern, std::string *error) {
  try {
    return std::wregex(widen(pattern), std::regex_constants::ECMAScript);
  } catch (const std::regex_error &e) {
    if (error != nullptr) {
      *error = e.what();
    }
    return std::nullopt;
  }
}

// nullopt when matching itself failed (the expression was too complex for the name).
std::optional<bool> matches(const std::wregex &expression, std::string_view name) {
  try {
    return std::regex_search(widen(name), expression);
  } catch (const std::regex_error &) {
    return std::nullopt;
  }
}

} // namespace

std::optional<std::string> patternError(std::string_view pattern) {
  std::string error;
  if (compile(pattern, &error)) {
    return std::nullopt;
  }
  return error;
}

bool nameMatches(std::string_view pattern, std::string_view name) {
  const auto expression = compile(pattern, nullptr);
  return expression && matches(*expression, name).value_or(false);
}

std::string displayPath(const SearchHit &hit, const std::string &rootText) {
  std::string text = rootText;
  for (const std::string &name : hit.path) {
    text += '\\';
    text += name;
  }
  return text;
}

SearchReport searchTree(FsBrowser &browser, const ItemTree &tree, std::string_view pattern,
                        Progress &progress, WorkerControl &control,
                        const std::function<void(const SearchHit &)> &onHit,
                        SearchOptions options) {
  SearchReport report;
  const ItemHandle root = tree.rootItem();
  if (pattern.empty() || root == kNoItem || !tree.hasChildren(root)) {
    progress.inform(kSearchFinishedText);
    return report;
  }
  const auto expression = compile(pattern, &report.error);
  if (!expression) {
    report.invalidPattern = true;
    progress.inform(kInvalidPatternText);
    return report;
  }
  auto addHit = [&](const ItemData &record, std::vector<std::string> path) {
    ++report.rows;
    onHit(SearchHit{record, std::move(path)});
    progress.setStatus(format("searched file %lld", static_cast<long long>(report.rows)));
  };

  for (const ItemHandle item : tree.children(root)) {
    if (options.stopEndsSearch && control.stopRequested()) {
      report.stopped = true;
      break;
    }
    const ItemData &record = tree.data(item);
    if (!tree.hasChildren(item)) {
      if (!browser.owns(record)) {
        continue;
      }
      std::string name = browser.info(record).name;
      if (matches(*expression, name).value_or(false)) {
        addHit(record, {std::move(name)});
      }
      continue;
    }
    if (!browser.owns(record) || !browser.info(record).folder) {
      continue;
    }
    const std::uint64_t count = countFiles(browser, record);
    progress.setRange(0, count);
    bool matchFailed = false;
    const bool finished = walkBelow(
        browser, record, std::vector<std::string>{tree.text(item)}, &control,
        [&](const ItemData &file, const EntryInfo &info, const std::vector<std::string> &path) {
          if (matchFailed) {
            return;
          }
          const auto hit = matches(*expression, info.name);
          if (!hit) {
            matchFailed = true; // ends this folder's walk quietly
            return;
          }
          if (*hit) {
            std::vector<std::string> full = path;
            full.push_back(info.name);
            addHit(file, std::move(full));
          }
        },
        [&](const ItemData &, const EntryInfo &info, const std::vector<std::string> &,
            std::vector<std::string> &inner) {
          if (!info.name.empty()) {
            inner.push_back(info.name);
          }
          return !matchFailed;
        },
        [](const ItemData &, const EntryInfo &, const std::vector<std::string> &) {});
    progress.setPosition(count);
    if (options.stopEndsSearch) {
      if (!finished) {
        report.stopped = true;
        break;
      }
    } else {
      control.clearStop(); // a Stop ends only this folder's walk
    }
  }
  progress.inform(kSearchFinishedText);
  return report;
}

} // namespace quillon
