// Runs quillon-cli as a separate process and captures its exit code, stdout and stderr.
#pragma once

#include <string>
#include <vector>

namespace quillon::test {

struct CliResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs the given program with arguments (no shell involved).
[[nodiscard]] CliResult runProgram(const std::string &program,
                                   const std::vector<std::string> &args);

// SHA-256-free content fingerprint good enough to show a file did not change: size plus a
// 64-bit FNV-1a over every byte.
[[nodiscard]] std::string fileFingerprint(const std::string &path);

} // namespace quillon::test
