// Argument parsing for quillon-cli.
#include "cli/args.h"

#include <charconv>

namespace quillon::cli {

Args::Args(const std::vector<std::string> &words, const std::set<std::string> &valueOptions,
           const std::set<std::string> &flags) {
  bool optionsEnded = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string &w = words[i];
    if (optionsEnded || w.size() < 3 || !w.starts_with("--")) {
      if (w == "--") {
        optionsEnded = true;
        continue;
      }
      positional_.push_back(w);
      continue;
    }
    std::string name = w.substr(2);
    std::optional<std::string> inlineValue;
    if (const std::size_t eq = name.find('='); eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    if (valueOptions.contains(name)) {
      if (inlineValue) {
        values_[name] = *inlineValue;
      } else if (i + 1 < words.size()) {
        values_[name] = words[++i];
      } else {
        throw UsageError{"--" + name + " needs a value"};
      }
    } else if (flags.contains(name) && !inlineValue) {
      flags_.insert(name);
    } else {
      throw UsageError{"unknown option --" + name};
    }
  }
}

std::optional<std::string> Args::value(const std::string &name) const {
  if (auto it = values_.find(name); it != values_.end()) {
    return it->second;
  }
  return std::nullopt;
}

std::uint64_t Args::number(const std::string &name, std::uint64_t fallback) const {
  const auto v = value(name);
  if (!v) {
    return fallback;
  }
  std::uint64_t n = 0;
  const auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), n);
  if (ec != std::errc() || end != v->data() + v->size()) {
    throw UsageError{"--" + name + " needs a non-negative number, not '" + *v + "'"};
  }
  return n;
}

} // namespace quillon::cli
