// Command-line arguments: positional words and --options, checked against what each command
// accepts, so that a typo is a usage error instead of being ignored.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quillon::cli {

// Thrown only inside the command line front end, turned into exit code 2 by main.
struct UsageError {
  std::string text;
};

class Args {
public:
  // valueOptions take one value (--out DIR); flags take none.
  Args(const std::vector<std::string> &words, const std::set<std::string> &valueOptions,
       const std::set<std::string> &flags);

  [[nodiscard]] const std::vector<std::string> &positional() const { return positional_; }
  [[nodiscard]] bool flag(const std::string &name) const { return flags_.contains(name); }
  [[nodiscard]] std::optional<std::string> value(const std::string &name) const;
  // A non-negative decimal number, or the fallback when the option is absent.
  [[nodiscard]] std::uint64_t number(const std::string &name, std::uint64_t fallback) const;
  [[nodiscard]] bool has(const std::string &name) const {
    return values_.contains(name) || flags_.contains(name);
  }

private:
  std::vector<std::string> positional_;
  std::map<std::string, std::string> values_;
  std::set<std::string> flags_;
};

} // namespace quillon::cli
