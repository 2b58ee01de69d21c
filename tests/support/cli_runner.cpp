// Child-process runner for command-line tests.
#include "support/cli_runner.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace quillon::test {

namespace {

std::string drain(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n = 0;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) {
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

} // namespace

CliResult runProgram(const std::string &program, const std::vector<std::string> &args) {
  CliResult result;
  FILE *outFile = std::tmpfile();
  FILE *errFile = std::tmpfile();
  if (outFile == nullptr || errFile == nullptr) {
    return result;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(::fileno(outFile), STDOUT_FILENO);
    ::dup2(::fileno(errFile), STDERR_FILENO);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args) {
      argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  ::lseek(::fileno(outFile), 0, SEEK_SET);
  ::lseek(::fileno(errFile), 0, SEEK_SET);
  result.out = drain(::fileno(outFile));
  result.err = drain(::fileno(errFile));
  std::fclose(outFile);
  std::fclose(errFile);
  return result;
}

std::string fileFingerprint(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::uint64_t hash = 1469598103934665603ULL;
  std::uint64_t size = 0;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    const auto n = static_cast<std::size_t>(in.gcount());
    for (std::size_t i = 0; i < n; ++i) {
      hash = (hash ^ static_cast<unsigned char>(buf[i])) * 1099511628211ULL;
    }
    size += n;
  }
  return std::to_string(size) + ":" + std::to_string(hash);
}

} // namespace quillon::test
