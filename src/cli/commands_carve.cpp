// The raw recovery commands: carve (finds files in a volume, or the whole disk, by their
// signatures and writes them out by category) and signatures add / list (the signature editor
// on the command line).
#include "carving/carving_engine.h"
#include "carving/find_writer.h"
#include "carving/raw_recovery.h"
#include "carving/signature_file.h"
#include "cli/cli_progress.h"
#include "cli/commands.h"
#include "cli/interrupt_stops.h"
#include "core/item_tree.h"
#include "core/json.h"
#include "core/text_convert.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

namespace quillon::cli {

namespace {

constexpr char kCarveUsage[] =
    "usage: quillon-cli carve IMAGE [--volume N | --start SECTOR --end SECTOR [--fs TYPE]] "
    "[--signatures FILE] [--no-default] --out DIR [--json]";
constexpr char kSignaturesUsage[] =
    "usage: quillon-cli signatures add FILE --ext EXT --start-sig BYTES [--start-offset N] "
    "[--end-sig BYTES] [--size-offset N] [--size-bytes N] [--header-size N] "
    "[--size-includes-header] [--skip N] [--approx-size N] [--category NAME]\n"
    "       quillon-cli signatures list FILE [--json]";

// The chosen volume's bytes through the active reader, whose base offset is the volume start.
class ReaderBytes final : public VolumeBytes {
public:
  explicit ReaderBytes(readWriteInterface &reader) : reader_(reader) {}
  bool read(std::uint64_t offset, std::span<std::uint8_t> out) override {
    return reader_.readAt(offset, out);
  }

private:
  readWriteInterface &reader_;
};

struct CarveVolume {
  std::string label; // for messages: "volume 1", "sectors 2048-4095", "the disk"
  std::uint64_t startSector = 0;
  std::uint64_t bytes = 0;
};

void checkCarveVolumeArgs(const Args &args) {
  checkDiscoveryArgs(args);
  const bool custom = args.has("start") || args.has("end") || args.has("fs");
  if (args.has("volume") && custom) {
    throw UsageError{"give either --volume N or --start SECTOR --end SECTOR"};
  }
  if (custom && (!args.has("start") || !args.has("end"))) {
    throw UsageError{"a custom volume needs --start and --end"};
  }
  if (!args.has("volume") && (args.has("from") || args.has("to") || args.flag("scan") ||
                              args.flag("no-skip") || args.flag("gpt"))) {
    throw UsageError{"--gpt, --scan, --from, --to and --no-skip go with --volume"};
  }
}

// Picks the volume on the opened disk: a row of `volumes`, a custom range or the whole disk,
// cut at the end of the disk. Returns 0 or the exit code of the failure reported.
int chooseVolume(const Args &args, CliProgress &progress, WorkerControl &control,
                 CarveVolume &volume) {
  const std::uint64_t diskBytes = diskSectorCount * kSectorSize;
  std::uint64_t wanted = diskBytes;
  if (args.has("volume")) {
    const std::string number = std::to_string(args.number("volume", 0));
    std::vector<VolumeRecord> records;
    const int rc = discoverVolumes(args, progress, control, records);
    progress.finish();
    const auto it = std::find_if(records.begin(), records.end(),
                                 [&](const VolumeRecord &r) { return r.number == number; });
    if (it == records.end()) {
      return failure("no volume " + number,
                     rc != 0
                         ? std::string("the partition table cannot be read: ") + std::strerror(rc)
                         : std::to_string(records.size()) + " volumes were found");
    }
    volume.label = "volume " + number;
    volume.startSector = it->startSector;
    const std::uint64_t mib = volumeSizeMiB(it->volumeSizeText);
    wanted = mib > (std::numeric_limits<std::uint64_t>::max() >> 20) ? diskBytes : mib << 20;
  } else if (args.has("start")) {
    const std::uint64_t start = args.number("start", 0);
    const std::uint64_t end = args.number("end", 0);
    if (end < start) {
      throw UsageError{"--end must not lie before --start"};
    }
    volume.label = "sectors " + std::to_string(start) + "-" + std::to_string(end);
    volume.startSector = start;
    wanted = end - start + 1 > diskSectorCount ? diskBytes : (end - start + 1) * kSectorSize;
  } else {
    volume.label = "the disk";
  }
  if (volume.startSector >= diskSectorCount) {
    return failure("cannot carve " + volume.label, "it starts past the end of the disk");
  }
  volume.bytes = std::min(wanted, diskBytes - volume.startSector * kSectorSize);
  return 0;
}

// A text for a terminal line: control characters (a signature file may hold any) become '?'.
std::string printable(std::string text) {
  for (char &c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      c = '?';
    }
  }
  return text;
}

void printFinds(const myJpg &engine, const ItemTree &tree, bool json) {
  for (const ItemHandle category : tree.children(engine.topItem)) {
    if (tree.children(category).empty()) {
      continue; // a category without finds
    }
    if (!json) {
      std::printf("%s\n", printable(tree.text(category)).c_str());
    }
    for (const ItemHandle item : tree.children(category)) {
      const auto *index = std::get_if<std::int64_t>(&tree.data(item));
      if (index == nullptr) {
        continue;
      }
      const CarvingResult &find = engine.results[static_cast<std::size_t>(*index)];
      const std::string &categoryName = engine.rules[find.rule].category;
      if (json) {
        JsonObject o;
        o.add("category", categoryName);
        o.add("name", tree.text(item));
        o.add("start", find.start);
        o.add("size", find.size);
        std::printf("%s\n", o.text().c_str());
      } else {
        std::printf("  %-24s start %-14llu size %llu\n", printable(tree.text(item)).c_str(),
                    static_cast<unsigned long long>(find.start),
                    static_cast<unsigned long long>(find.size));
      }
    }
  }
}

// --- signatures ---

// A field that the editor reads as a number: here it must be one, so that a typo is an error
// rather than a 0 in the file.
std::string numberField(const Args &args, const std::string &name) {
  const auto v = args.value(name);
  if (!v) {
    return {};
  }
  std::int64_t n = 0;
  const char *first = v->data() + (v->starts_with('+') ? 1 : 0);
  const auto [end, ec] = std::from_chars(first, v->data() + v->size(), n);
  if (ec != std::errc() || end != v->data() + v->size() ||
      n < std::numeric_limits<std::int32_t>::min() ||
      n > std::numeric_limits<std::int32_t>::max()) {
    throw UsageError{"--" + name + " needs a whole number of at most 2147483647, not '" + *v + "'"};
  }
  return *v;
}

std::string signatureText(const std::array<std::uint8_t, kMaxSignatureBytes> &bytes,
                          std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length && i < bytes.size(); ++i) {
    text += format(i == 0 ? "%02X" : ",%02X", bytes[i]);
  }
  return text;
}

int runSignaturesAdd(const std::vector<std::string> &words) {
  const Args args(words,
                  {"ext", "start-sig", "start-offset", "end-sig", "size-offset", "size-bytes",
                   "header-size", "skip", "approx-size", "category"},
                  {"size-includes-header"});
  if (args.positional().size() != 1) {
    throw UsageError{kSignaturesUsage};
  }
  SignatureFields fields;
  fields.extension = args.value("ext").value_or("");
  fields.startSignature = args.value("start-sig").value_or("");
  fields.startOffset = numberField(args, "start-offset");
  fields.endSignature = args.value("end-sig").value_or("");
  fields.offsetToSize = numberField(args, "size-offset");
  fields.bytesInSize = numberField(args, "size-bytes");
  fields.headerSize = numberField(args, "header-size");
  fields.sizeIncludesHeader = args.flag("size-includes-header");
  fields.skipSize = numberField(args, "skip");
  fields.approxSize = numberField(args, "approx-size");
  fields.category = args.value("category").value_or("");

  // The editor's messages: the refusals are failures, the success note stays quiet.
  RecordingProgress progress;
  SignatureFileWriter writer;
  const std::string file = args.positional()[0];
  const bool added =
      writer.openForAdding(file, progress) && writer.appendSignatureRecord(fields, progress);
  const auto messages = progress.messages();
  if (!added) {
    return failure("cannot add the signature to " + file,
                   messages.empty() ? std::string("unknown reason") : messages.back().text);
  }
  return 0;
}

int runSignaturesList(const std::vector<std::string> &words) {
  const Args args(words, {}, {"json"});
  if (args.positional().size() != 1) {
    throw UsageError{kSignaturesUsage};
  }
  const std::string file = args.positional()[0];
  const SignatureFileContents contents = readSignatureFile(file, true);
  if (contents.status == SignatureFileContents::Status::CannotOpen) {
    return failure(file, kCannotOpenSignatureFileText);
  }
  if (contents.status == SignatureFileContents::Status::Invalid) {
    return failure(file, kInvalidSignatureFileText);
  }
  const bool json = args.flag("json");
  for (std::size_t i = 0; i < contents.records.size(); ++i) {
    const SignatureRecord &r = contents.records[i];
    const std::string ext = utf16ToUtf8(r.extension);
    const std::string category = utf16ToUtf8(r.category);
    const auto problem = ruleProblem(r);
    if (json) {
      JsonObject o;
      o.add("index", std::uint64_t{i});
      o.add("extension", ext);
      o.add("startSignature", signatureText(r.startSignature, r.startLength));
      o.add("startOffset", static_cast<std::uint64_t>(std::max<int>(0, r.startOffset)));
      o.add("endSignature", signatureText(r.endSignature, r.endLength));
      o.add("offsetToSize", static_cast<std::uint64_t>(std::max<std::int32_t>(0, r.offsetToSize)));
      o.add("bytesInSize", static_cast<std::uint64_t>(std::max<std::int32_t>(0, r.bytesInSize)));
      o.add("headerSize", static_cast<std::uint64_t>(std::max<std::int32_t>(0, r.headerSize)));
      o.add("sizeIncludesHeader", r.sizeIncludesHeader);
      o.add("approxSize", static_cast<std::uint64_t>(std::max<std::int64_t>(0, r.approxSize)));
      o.add("skipSize", static_cast<std::uint64_t>(std::max<std::int64_t>(0, r.skipSize)));
      o.add("category", category);
      o.add("usable", !problem.has_value());
      std::printf("%s\n", o.text().c_str());
      continue;
    }
    std::printf("%zu: .%s  category \"%s\"\n", i, printable(ext).c_str(),
                printable(category).c_str());
    std::printf("  start signature %s at offset %d\n",
                signatureText(r.startSignature, r.startLength).c_str(),
                static_cast<int>(r.startOffset));
    if (r.endLength != 0) {
      std::printf("  end signature   %s\n", signatureText(r.endSignature, r.endLength).c_str());
    }
    if (r.endLength == 0 && r.bytesInSize >= 1) {
      std::printf("  size field      %d bytes at offset %d, header %d bytes%s\n", r.bytesInSize,
                  r.offsetToSize, r.headerSize,
                  r.sizeIncludesHeader ? " (included in the size)" : "");
    }
    std::printf("  approx size     %lld\n  skip            %lld\n",
                static_cast<long long>(r.approxSize), static_cast<long long>(r.skipSize));
    if (problem) {
      std::printf("  not used: %s\n", problem->c_str());
    }
  }
  return 0;
}

} // namespace

int runCarve(const std::vector<std::string> &words) {
  std::set<std::string> values = kImageValueOptions;
  values.insert(kDiscoveryValueOptions.begin(), kDiscoveryValueOptions.end());
  values.insert({"volume", "start", "end", "fs", "signatures", "out"});
  std::set<std::string> flags = kImageFlags;
  flags.insert(kDiscoveryFlags.begin(), kDiscoveryFlags.end());
  flags.insert({"no-default", "json"});
  const Args args(words, values, flags);
  if (args.positional().size() != 1 || !args.has("out")) {
    throw UsageError{kCarveUsage};
  }
  checkCarveVolumeArgs(args);
  if (args.flag("no-default") && !args.has("signatures")) {
    throw UsageError{"--no-default needs --signatures FILE"};
  }
  const std::filesystem::path out = *args.value("out");
  std::error_code ec;
  std::filesystem::create_directories(out, ec);
  if (!std::filesystem::is_directory(out)) {
    return failure("cannot use " + out.string(), ec ? ec.message() : "not a folder");
  }

  const std::string image = args.positional()[0];
  CliProgress progress;
  std::string error;
  if (!openActiveReader(readerChoice(args), image, progress, error)) {
    return failure("cannot open " + image, error);
  }
  RawRecovery raw;
  CarveVolume volume;
  if (const int rc = chooseVolume(args, progress, raw.control, volume); rc != 0) {
    return rc;
  }
  // Offsets are volume-relative from here on: the finds are named by their place in the volume.
  activeReader->baseOffset = volume.startSector * kSectorSize;
  ReaderBytes bytes(*activeReader);

  RawParseInput input;
  input.loadDefaultItems = !args.flag("no-default");
  input.defaultFile = defaultSignaturePath();
  input.pathField = args.value("signatures").value_or("");
  input.volumeBytes = volume.bytes;
  if (!raw.parseSignatures(input, progress)) {
    progress.finish();
    return failure("cannot carve " + volume.label, "no scan was started");
  }

  ItemTree tree;
  const InterruptStops interrupts(raw.control);
  raw.carvingWorker(tree, bytes, progress);
  progress.finish();
  const myJpg &engine = *raw.engine;
  const bool json = args.flag("json");
  printFinds(engine, tree, json);
  std::fflush(stdout);
  if (engine.failedReads != 0) {
    failure("reading " + image, std::to_string(engine.failedReads) +
                                    " reads failed; their bytes were scanned as zeros");
  }
  if (interrupts.interrupted() || raw.control.stopRequested()) {
    return failure("carve stopped", std::to_string(engine.results.size()) +
                                        " finds were listed and none was written");
  }

  const FindWriteReport report = writeFinds(engine, tree, engine.topItem, bytes, out, progress,
                                            raw.control, FindSelection::All, false);
  progress.finish();
  for (const std::string &why : report.failures) {
    failure("cannot write a find", why);
  }
  if (!json) {
    std::printf(
        "%llu of %llu finds written into %s%s\n", static_cast<unsigned long long>(report.written),
        static_cast<unsigned long long>(report.counted), out.c_str(),
        report.cut == 0 ? ""
                        : format(" (%llu cut at the end of %s)",
                                 static_cast<unsigned long long>(report.cut), volume.label.c_str())
                              .c_str());
  }
  std::fflush(stdout);
  if (report.stopped) {
    return failure("carve stopped", std::to_string(report.written) + " finds were written");
  }
  if (report.written != report.counted) {
    return failure("carve incomplete",
                   std::to_string(report.counted - report.written) + " finds could not be written");
  }
  return 0;
}

int runSignatures(const std::vector<std::string> &words) {
  if (words.empty()) {
    throw UsageError{kSignaturesUsage};
  }
  const std::vector<std::string> rest(words.begin() + 1, words.end());
  if (words[0] == "add") {
    return runSignaturesAdd(rest);
  }
  if (words[0] == "list") {
    return runSignaturesList(rest);
  }
  throw UsageError{kSignaturesUsage};
}

} // namespace quillon::cli
