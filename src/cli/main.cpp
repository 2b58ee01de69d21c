// quillon-cli: the command line over the recovery engine.
#include "cli/commands.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: quillon-cli COMMAND ...\n"
    "  info IMAGE\n"
    "  volumes IMAGE [--gpt] [--scan [--from SECTOR] [--to SECTOR] [--no-skip]] [--json]\n"
    "  ls IMAGE VOLUME [--mode standard|advanced|deep] [--path P] [--recursive] [--json]\n"
    "  save IMAGE VOLUME --out DIR [--path P]\n"
    "  search IMAGE VOLUME PATTERN [--json]\n"
    "  candidates IMAGE VOLUME [--max N]\n"
    "  image IMAGE --out DIR\n"
    "  carve IMAGE [VOLUME] [--signatures FILE] [--no-default] --out DIR [--json]\n"
    "  signatures add FILE --ext EXT --start-sig BYTES [--start-offset N] [--end-sig BYTES]\n"
    "             [--size-offset N] [--size-bytes N] [--header-size N] [--size-includes-header]\n"
    "             [--skip N] [--approx-size N] [--category NAME]\n"
    "  signatures list FILE [--json]\n"
    "image options: --type auto|vmdk|vhd|vdi, --split, --descriptor, --extent-type SPARSE|FLAT\n"
    "VOLUME: --volume N [--gpt] [--scan [--from SECTOR] [--to SECTOR] [--no-skip]]\n"
    "     or --start SECTOR --end SECTOR --fs NTFS|FAT16|FAT32|EXFAT|EXTX|HFS+\n"
    "advanced mode: --candidate K (default 0), --sectors-per-cluster N, --heap K (exFAT)\n"
    "FAT family: --formatted (the drive was formatted: chains are not followed)\n";

} // namespace

int main(int argc, char **argv) {
  using namespace quillon::cli;
  const std::vector<std::string> all(argv + 1, argv + argc);
  if (all.empty() || all[0] == "--help" || all[0] == "-h" || all[0] == "help") {
    std::fputs(kUsage, all.empty() ? stderr : stdout);
    return all.empty() ? 2 : 0;
  }
  const std::map<std::string, int (*)(const std::vector<std::string> &)> commands = {
      {"info", runInfo},
      {"volumes", runVolumes},
      {"image", runImage},
      {"ls", runLs},
      {"save", runSave},
      {"search", runSearch},
      {"candidates", runCandidates},
      {"carve", runCarve},
      {"signatures", runSignatures}};
  const auto it = commands.find(all[0]);
  if (it == commands.end()) {
    std::fprintf(stderr, "quillon-cli: unknown command '%s'\n%s", all[0].c_str(), kUsage);
    return 2;
  }
  try {
    return it->second({all.begin() + 1, all.end()});
  } catch (const UsageError &e) {
    std::fprintf(stderr, "quillon-cli: %s: %s\n", all[0].c_str(), e.text.c_str());
    return 2;
  }
}
