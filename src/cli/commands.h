// The quillon-cli commands and the option sets they share.
#pragma once

#include "cli/args.h"
#include "disk/reader_factory.h"
#include "volumes/volume_record.h"

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace quillon {
class Progress;
class WorkerControl;
} // namespace quillon

namespace quillon::cli {

// Options every command that opens an image accepts.
inline const std::set<std::string> kImageValueOptions = {"type", "extent-type"};
inline const std::set<std::string> kImageFlags = {"split", "descriptor"};

// Options of the volume discovery that `volumes` runs and `--volume N` repeats.
inline const std::set<std::string> kDiscoveryValueOptions = {"from", "to"};
inline const std::set<std::string> kDiscoveryFlags = {"gpt", "scan", "no-skip"};

// The reader choice from --type, --split, --descriptor and --extent-type.
[[nodiscard]] ReaderChoice readerChoice(const Args &args);

// Prints "quillon-cli: what: why" to stderr and returns exit code 1.
int failure(const std::string &what, const std::string &why);

// Usage error when --from, --to or --no-skip come without --scan.
void checkDiscoveryArgs(const Args &args);

// Finds the volumes of the active reader as `volumes` does (partition walk, or with --scan the
// boot-sector scan); onFound is called for each record. Returns 0 or an errno-style code.
int discoverVolumes(const Args &args, Progress &progress, WorkerControl &control,
                    std::vector<VolumeRecord> &records,
                    const std::function<void(const VolumeRecord &)> &onFound = {});

int runInfo(const std::vector<std::string> &words);
int runVolumes(const std::vector<std::string> &words);
int runImage(const std::vector<std::string> &words);
// The file-system commands (commands_fs.cpp).
int runLs(const std::vector<std::string> &words);
int runSave(const std::vector<std::string> &words);
int runSearch(const std::vector<std::string> &words);
int runCandidates(const std::vector<std::string> &words);
// The raw recovery commands (commands_carve.cpp).
int runCarve(const std::vector<std::string> &words);
int runSignatures(const std::vector<std::string> &words);

} // namespace quillon::cli
