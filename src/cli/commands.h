// The quillon-cli commands and the option sets they share.
#pragma once

#include "cli/args.h"
#include "disk/reader_factory.h"

#include <set>
#include <string>
#include <vector>

namespace quillon::cli {

// Options every command that opens an image accepts.
inline const std::set<std::string> kImageValueOptions = {"type", "extent-type"};
inline const std::set<std::string> kImageFlags = {"split", "descriptor"};

// The reader choice from --type, --split, --descriptor and --extent-type.
[[nodiscard]] ReaderChoice readerChoice(const Args &args);

// Prints "quillon-cli: what: why" to stderr and returns exit code 1.
int failure(const std::string &what, const std::string &why);

int runInfo(const std::vector<std::string> &words);
int runVolumes(const std::vector<std::string> &words);
int runImage(const std::vector<std::string> &words);

} // namespace quillon::cli
