// The file-system commands: ls, save, search and candidates over one volume of an image. The
// volume is a row of `volumes` (--volume N, found with the same discovery options) or a custom
// one (--start, --end, --fs). The scan runs on the calling thread; Ctrl-C stops it.
#include "browse/exfat_browser.h"
#include "browse/ext_browser.h"
#include "browse/fat_browser.h"
#include "browse/hfs_browser.h"
#include "browse/listing.h"
#include "browse/ntfs_browser.h"
#include "browse/ntfs_workers.h"
#include "browse/recycle_bin.h"
#include "browse/save_folder.h"
#include "browse/search.h"
#include "browse/tree_growth.h"
#include "cli/cli_progress.h"
#include "cli/commands.h"
#include "cli/interrupt_stops.h"
#include "core/item_tree.h"
#include "core/json.h"
#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/reader.h"
#include "fs/ext/ext2.h"
#include "fs/fat/exfat.h"
#include "fs/fat/fat16.h"
#include "fs/fat/fat32.h"
#include "fs/hfsplus/hfsplus.h"
#include "fs/ntfs/ntfs.h"
#include "fs/ntfs/ntfs_tree.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>

namespace quillon::cli {

namespace {

const std::set<std::string> kVolumeValueOptions = {
    "volume", "start", "end", "fs", "mode", "candidate", "sectors-per-cluster", "heap"};

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

Args parseArgs(const std::vector<std::string> &words, std::set<std::string> values,
               std::set<std::string> flags) {
  values.insert(kImageValueOptions.begin(), kImageValueOptions.end());
  values.insert(kDiscoveryValueOptions.begin(), kDiscoveryValueOptions.end());
  values.insert(kVolumeValueOptions.begin(), kVolumeValueOptions.end());
  flags.insert(kImageFlags.begin(), kImageFlags.end());
  flags.insert(kDiscoveryFlags.begin(), kDiscoveryFlags.end());
  flags.insert("formatted");
  return {words, values, flags};
}

// --fs as the volume list page stores a type chosen by hand.
std::string customFsType(const std::string &fs) {
  std::string t = lowered(fs);
  if (t == "ntfs" || t == "fat16" || t == "fat32" || t == "fat64") {
    return t;
  }
  if (t == "exfat") {
    return "fat64";
  }
  if (t == "extx" || t == "ext2" || t == "ext3" || t == "ext4") {
    return "extX";
  }
  if (t == "hfs+") {
    return "HFS+";
  }
  throw UsageError{
      "--fs must be NTFS, FAT16, FAT32, FAT64 (exFAT), EXTX (ext2, ext3, ext4) or HFS+"};
}

struct ScanChoice {
  NtfsMode mode = NtfsMode::Standard;
  std::int64_t candidate = 0;
  std::optional<std::uint64_t> sectorsPerCluster;
  std::optional<std::size_t> heap; // exFAT: the cluster-heap candidate
  bool formatted = false;          // FAT family: the drive was formatted, chains are not trusted
};

ScanChoice scanChoice(const Args &args) {
  ScanChoice c;
  const std::string mode = args.value("mode").value_or("standard");
  if (mode == "standard") {
    c.mode = NtfsMode::Standard;
  } else if (mode == "advanced") {
    c.mode = NtfsMode::Advanced;
  } else if (mode == "deep") {
    c.mode = NtfsMode::Deep;
  } else {
    throw UsageError{"--mode must be standard, advanced or deep"};
  }
  if (c.mode != NtfsMode::Advanced &&
      (args.has("candidate") || args.has("sectors-per-cluster") || args.has("heap"))) {
    throw UsageError{"--candidate, --sectors-per-cluster and --heap go with --mode advanced"};
  }
  if (args.has("heap")) {
    c.heap = static_cast<std::size_t>(std::min<std::uint64_t>(args.number("heap", 0), 1U << 30));
  }
  c.formatted = args.flag("formatted");
  c.candidate =
      static_cast<std::int64_t>(std::min<std::uint64_t>(args.number("candidate", 0), 1U << 30));
  if (args.has("sectors-per-cluster")) {
    const std::uint64_t n = args.number("sectors-per-cluster", 0);
    if (n == 0 || n > 4096) {
      throw UsageError{"--sectors-per-cluster must be between 1 and 4096"};
    }
    c.sectorsPerCluster = n;
  }
  return c;
}

void checkVolumeArgs(const Args &args) {
  checkDiscoveryArgs(args);
  const bool custom = args.has("start") || args.has("end") || args.has("fs");
  if (args.has("volume") == custom) {
    throw UsageError{"give either --volume N or --start SECTOR --end SECTOR --fs TYPE"};
  }
  if (custom && (!args.has("start") || !args.has("end") || !args.has("fs"))) {
    throw UsageError{"a custom volume needs --start, --end and --fs"};
  }
  if (!args.has("volume") && (args.has("from") || args.has("to") || args.flag("scan") ||
                              args.flag("no-skip") || args.flag("gpt"))) {
    throw UsageError{"--gpt, --scan, --from, --to and --no-skip go with --volume"};
  }
}

// One scanned volume and everything that refers to it.
struct Session {
  CliProgress progress;
  WorkerControl control;
  VolumeRecord volume;
  ItemTree tree;
  std::unique_ptr<ntfs> parser; // NTFS volumes
  std::unique_ptr<Fat16Class> fat16;
  std::unique_ptr<Fat32Class> fat32;
  std::unique_ptr<Fat64Class> exfat;
  std::unique_ptr<ext2Class> ext;
  std::unique_ptr<HFSP> hfs;
  std::unique_ptr<FsBrowser> browser;
};

// Opens the image and picks the volume. Returns 0, or the exit code of the failure reported.
int openVolume(const Args &args, const std::string &image, Session &s) {
  std::string error;
  if (!openActiveReader(readerChoice(args), image, s.progress, error)) {
    return failure("cannot open " + image, error);
  }
  if (args.has("volume")) {
    const std::string wanted = std::to_string(args.number("volume", 0));
    std::vector<VolumeRecord> records;
    const int rc = discoverVolumes(args, s.progress, s.control, records);
    s.progress.finish();
    const auto it = std::find_if(records.begin(), records.end(),
                                 [&](const VolumeRecord &r) { return r.number == wanted; });
    if (it == records.end()) {
      return failure("no volume " + wanted,
                     rc != 0
                         ? std::string("the partition table cannot be read: ") + std::strerror(rc)
                         : std::to_string(records.size()) + " volumes were found");
    }
    s.volume = *it;
  } else {
    const std::uint64_t start = args.number("start", 0);
    const std::uint64_t end = args.number("end", 0);
    s.volume.fsType = customFsType(*args.value("fs"));
    s.volume.number = "custom";
    s.volume.startSector = start;
    s.volume.volumeSizeText = end > start ? std::to_string((end - start + 1) / 2048) : "0";
  }
  const std::string fs = lowered(s.volume.fsType);
  if (fs == "ntfs") {
    s.parser = std::make_unique<ntfs>(*activeReader, s.progress, s.control, s.volume);
    s.browser = std::make_unique<NtfsBrowser>(*s.parser);
  } else if (fs == "fat16") {
    s.fat16 = std::make_unique<Fat16Class>(*activeReader, s.progress, s.control, s.volume);
    s.browser = std::make_unique<FatBrowser>(*s.fat16);
  } else if (fs == "fat32") {
    s.fat32 = std::make_unique<Fat32Class>(*activeReader, s.progress, s.control, s.volume);
    s.browser = std::make_unique<FatBrowser>(*s.fat32);
  } else if (fs == "fat64") {
    s.exfat = std::make_unique<Fat64Class>(*activeReader, s.progress, s.control, s.volume);
    s.browser = std::make_unique<ExFatBrowser>(*s.exfat);
  } else if (fs == "extx") {
    s.ext = std::make_unique<ext2Class>(*activeReader, s.progress, s.control, s.volume);
    s.browser = std::make_unique<ExtBrowser>(*s.ext);
  } else if (fs == "hfs+") {
    s.hfs = std::make_unique<HFSP>(*activeReader, s.progress, s.control, s.volume);
    s.browser = std::make_unique<HfsBrowser>(*s.hfs);
  } else {
    return failure("cannot read volume " + s.volume.number,
                   "its file system is " + s.volume.fsType +
                       "; NTFS, FAT16, FAT32, exFAT, ext2/3/4 and HFS+ volumes can be read");
  }
  return 0;
}

// Sectors per cluster offered first for an advanced scan: the boot sector's own value when the
// boot sector is valid, else 8 (the first choice of the advanced input page).
std::uint64_t defaultSectorsPerCluster(const ntfs &parser) {
  if (parser.bootSectorValid() && parser.bootSector && (*parser.bootSector)[13] != 0 &&
      (*parser.bootSector)[13] <= 128) {
    return (*parser.bootSector)[13];
  }
  return 8;
}

// The FAT16/FAT32 parser of the session, when it has one.
fat::FatVolume *fatVolume(Session &s) {
  return s.fat16 ? static_cast<fat::FatVolume *>(s.fat16.get()) : s.fat32.get();
}

// Table candidates searched for the advanced mode: enough to reach the chosen one.
std::int64_t candidatesToFind(const ScanChoice &choice) {
  return std::max<std::int64_t>(3, choice.candidate + 1);
}

// Scans a FAT16, FAT32 or exFAT volume in the chosen mode and fills the tree's top level.
int scanFatFamily(const ScanChoice &choice, Session &s, const InterruptStops &interrupts) {
  if (choice.mode == NtfsMode::Deep) {
    return failure("cannot read the " + s.volume.fsType + " volume",
                   "the deep mode reads NTFS volumes; use --mode standard or advanced");
  }
  if (choice.heap && !s.exfat) {
    throw UsageError{"--heap applies to exFAT volumes only"};
  }
  bool scanned = false;
  std::string why = "its boot sector does not describe a " + s.volume.fsType + " volume";
  if (fat::FatVolume *fat = fatVolume(s)) {
    fat->driveFormatted = choice.formatted;
    if (choice.mode == NtfsMode::Standard) {
      scanned = s.fat16 ? s.fat16->standardScan() : s.fat32->standardScan();
    } else {
      const bool bootOk = s.fat16 ? s.fat16->readBootSector() : s.fat32->readBootSector();
      const auto found = fat->findFatCandidates(candidatesToFind(choice));
      const std::uint64_t spc = choice.sectorsPerCluster.value_or(
          bootOk && fat->bootGeometry ? fat->bootGeometry->clusterSize / 512 : 8);
      scanned = fat->advancedScan(static_cast<std::size_t>(choice.candidate),
                                  static_cast<std::uint32_t>(spc));
      why = format("no allocation table candidate %lld (%zu were found)",
                   static_cast<long long>(choice.candidate), found.size());
    }
  } else {
    s.exfat->driveFormatted = choice.formatted;
    if (choice.mode == NtfsMode::Standard) {
      scanned = s.exfat->runStandardScan();
    } else {
      const std::int64_t wanted = std::max<std::int64_t>(
          candidatesToFind(choice), static_cast<std::int64_t>(choice.heap.value_or(0)) + 1);
      s.exfat->runCandidateSearch(wanted);
      unsigned shift = s.exfat->offeredClusterShifts().front();
      if (choice.sectorsPerCluster) {
        const std::uint64_t spc = *choice.sectorsPerCluster;
        if ((spc & (spc - 1)) != 0) {
          throw UsageError{"--sectors-per-cluster must be a power of two on exFAT volumes"};
        }
        shift = static_cast<unsigned>(std::countr_zero(spc));
      }
      scanned =
          s.exfat->runAdvancedScan(static_cast<std::size_t>(choice.candidate), shift, choice.heap);
      why = format("no allocation table candidate %lld or heap candidate (%zu and %zu were found)",
                   static_cast<long long>(choice.candidate), s.exfat->fatCandidates.size(),
                   s.exfat->heapCandidates.size());
    }
  }
  s.progress.finish();
  if (interrupts.interrupted() || s.control.stopRequested()) {
    return failure("scan stopped", "no files were listed");
  }
  if (!scanned) {
    return failure("cannot read the " + s.volume.fsType + " volume", why);
  }
  fillTopLevel(*s.browser, s.tree);
  if (!s.fat16) {
    renameRecycleBinFiles(*s.browser, s.tree); // FAT32 and exFAT volumes of Windows
  }
  return 0;
}

// Scans an ext2/3/4 volume (standard mode only) or an HFS+ volume (standard or deep).
int scanExtOrHfs(const ScanChoice &choice, Session &s, const InterruptStops &interrupts) {
  if (choice.mode == NtfsMode::Advanced || (s.ext && choice.mode == NtfsMode::Deep)) {
    return failure("cannot read the " + s.volume.fsType + " volume",
                   s.ext ? "ext volumes are read in the standard mode"
                         : "HFS+ volumes are read in the standard or the deep mode");
  }
  if (choice.heap || choice.formatted) {
    throw UsageError{"--heap and --formatted apply to FAT-family volumes only"};
  }
  const bool scanned = s.ext                           ? s.ext->standardScan()
                       : choice.mode == NtfsMode::Deep ? s.hfs->deepScan()
                                                       : s.hfs->standardScan();
  s.progress.finish();
  if (interrupts.interrupted() || s.control.stopRequested()) {
    return failure("scan stopped", "no files were listed");
  }
  if (!scanned) {
    return failure("cannot read the " + s.volume.fsType + " volume",
                   "no " + s.volume.fsType + " file system was found on it" +
                       (s.hfs && choice.mode == NtfsMode::Standard
                            ? std::string(" (--mode deep scans the volume for catalog nodes)")
                            : std::string()));
  }
  fillTopLevel(*s.browser, s.tree);
  return 0;
}

// Opens the image, picks the volume and scans it. Returns 0 or the exit code of a failure.
int openAndScan(const Args &args, const std::string &image, Session &s) {
  const ScanChoice choice = scanChoice(args);
  if (const int rc = openVolume(args, image, s); rc != 0) {
    return rc;
  }
  const InterruptStops interrupts(s.control);
  if (s.ext || s.hfs) {
    return scanExtOrHfs(choice, s, interrupts);
  }
  if (!s.parser) {
    return scanFatFamily(choice, s, interrupts);
  }
  const NtfsScanOptions quiet{.endMessages = false};
  if (choice.mode == NtfsMode::Advanced) {
    const std::int64_t found =
        runNtfsCandidateSearch(*s.parser, std::max<std::int64_t>(3, choice.candidate + 1), quiet);
    if (interrupts.interrupted()) {
      s.progress.finish();
      return failure("scan stopped", "no files were listed");
    }
    if (choice.candidate >= found) {
      s.progress.finish();
      return failure("no MFT candidate " + std::to_string(choice.candidate),
                     std::to_string(found) + " candidates were found");
    }
    runNtfsWorkerB(*s.parser, s.tree, choice.candidate,
                   choice.sectorsPerCluster.value_or(defaultSectorsPerCluster(*s.parser)), quiet);
  } else {
    s.parser->mode = choice.mode;
    runNtfsWorkerA(*s.parser, s.tree, quiet);
  }
  s.progress.finish();
  if (interrupts.interrupted() || s.control.stopRequested()) {
    return failure("scan stopped", "no files were listed");
  }
  if (ntfsTopLevel(*s.parser).empty()) {
    return failure("cannot read the NTFS volume",
                   choice.mode == NtfsMode::Standard
                       ? "no MFT was found (--mode deep scans the volume for MFT records)"
                       : "no MFT records were found");
  }
  return 0;
}

std::string timeText(const std::optional<std::int64_t> &t) {
  return t ? isoUtcText(*t) : std::string("-");
}

std::string entryJson(FsBrowser &browser, const ListedEntry &e) {
  const EntryTimes times = browser.times(e.record);
  JsonObject o;
  o.add("path", joinPath(e.path));
  o.add("type", e.info.folder ? "folder" : "file");
  o.add("deleted", e.info.deleted);
  o.add("orphan", e.orphan);
  o.add("size", e.info.folder ? std::uint64_t{0} : browser.dataSize(e.record));
  for (const auto &[key, value] :
       {std::pair{"created", times.created}, std::pair{"modified", times.modified},
        std::pair{"accessed", times.accessed}}) {
    if (value) {
      o.add(key, isoUtcText(*value));
    } else {
      o.addNull(key);
    }
  }
  o.add("attributes", browser.attributesText(e.record));
  return o.text();
}

// A path for a terminal line: control characters (a name may hold a newline) become '?'.
std::string printable(std::string text) {
  for (char &c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      c = '?';
    }
  }
  return text;
}

void printEntry(FsBrowser &browser, const ListedEntry &e, bool json) {
  if (json) {
    std::string line = entryJson(browser, e);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  } else {
    const std::string size = e.info.folder ? "-" : std::to_string(browser.dataSize(e.record));
    std::printf("%-7s%14s  %-21s%-8s %s%s\n", e.info.folder ? "folder" : "file", size.c_str(),
                timeText(browser.times(e.record).modified).c_str(),
                browser.attributesText(e.record).c_str(), printable(joinPath(e.path)).c_str(),
                e.info.deleted ? "  [deleted]" : "");
  }
}

void printHeader(bool json) {
  if (!json) {
    std::printf("%-7s%14s  %-21s%-8s %s\n", "Type", "Size", "Modified", "Attr", "Path");
  }
}

std::vector<ListedEntry> findOrFail(FsBrowser &browser, const std::string &path, int &rc) {
  std::vector<ListedEntry> found = findPath(browser, splitPath(path));
  rc = found.empty() ? failure("no entry " + path, "nothing on the volume has that path") : 0;
  return found;
}

// One table of candidates: a header, then each candidate's label (with its index) and offset.
void printOffsets(const char *header, const char *label, const std::vector<std::uint64_t> &list) {
  std::printf("%-16s%s\n", "Candidate", header);
  for (std::size_t i = 0; i < list.size(); ++i) {
    std::printf("%-16s%llu\n", format(label, static_cast<int>(i)).c_str(),
                static_cast<unsigned long long>(list[i]));
  }
}

} // namespace

int runLs(const std::vector<std::string> &words) {
  const Args args = parseArgs(words, {"path"}, {"recursive", "json"});
  if (args.positional().size() != 1) {
    throw UsageError{"usage: quillon-cli ls IMAGE VOLUME [--mode standard|advanced|deep] "
                     "[--path P] [--recursive] [--json]"};
  }
  checkVolumeArgs(args);
  Session s;
  if (const int rc = openAndScan(args, args.positional()[0], s); rc != 0) {
    return rc;
  }
  int rc = 0;
  const auto found = findOrFail(*s.browser, args.value("path").value_or("/"), rc);
  if (rc != 0) {
    return rc;
  }
  const bool json = args.flag("json");
  printHeader(json);
  const InterruptStops interrupts(s.control);
  for (const ListedEntry &e : found) {
    if (!e.info.folder) {
      printEntry(*s.browser, e, json);
      continue;
    }
    const bool finished =
        listBelow(*s.browser, e, args.flag("recursive"), &s.control,
                  [&](const ListedEntry &child) { printEntry(*s.browser, child, json); });
    if (!finished) {
      std::fflush(stdout);
      return failure("ls stopped", "the listing is incomplete");
    }
  }
  return 0;
}

int runSave(const std::vector<std::string> &words) {
  const Args args = parseArgs(words, {"out", "path"}, {});
  if (args.positional().size() != 1 || !args.has("out")) {
    throw UsageError{"usage: quillon-cli save IMAGE VOLUME --out DIR [--path P]"};
  }
  checkVolumeArgs(args);
  const std::filesystem::path out = *args.value("out");
  std::error_code ec;
  std::filesystem::create_directories(out, ec);
  if (!std::filesystem::is_directory(out)) {
    return failure("cannot use " + out.string(), ec ? ec.message() : "not a folder");
  }
  Session s;
  if (const int rc = openAndScan(args, args.positional()[0], s); rc != 0) {
    return rc;
  }
  int rc = 0;
  const std::string path = args.value("path").value_or("/");
  const auto found = findOrFail(*s.browser, path, rc);
  if (rc != 0) {
    return rc;
  }
  const InterruptStops interrupts(s.control);
  std::uint64_t written = 0;
  std::uint64_t failed = 0;
  bool stopped = false;
  for (const ListedEntry &e : found) {
    if (!e.info.folder) {
      const SaveOutcome saved = s.browser->saveFile(e.record, out);
      if (saved.written) {
        ++written;
        std::printf("%s\n", saved.path.c_str());
      } else {
        ++failed;
        failure("cannot save " + joinPath(e.path), saved.error);
      }
      continue;
    }
    const SaveReport report = saveFolder(*s.browser, e.record, out, s.progress, s.control);
    s.progress.finish();
    for (const std::string &why : report.failures) {
      failure("cannot save", why);
    }
    written += report.written;
    failed += report.failures.size();
    stopped = stopped || report.status == SaveReport::Status::Stopped;
    std::printf("%llu of %llu files saved into %s%s\n",
                static_cast<unsigned long long>(report.written),
                static_cast<unsigned long long>(report.counted), out.c_str(),
                report.skipped == 0 ? ""
                                    : format(" (%llu never written: $BadClus)",
                                             static_cast<unsigned long long>(report.skipped))
                                          .c_str());
  }
  std::fflush(stdout);
  if (stopped) {
    return failure("save stopped", std::to_string(written) + " files were saved");
  }
  if (failed != 0) {
    return failure("save incomplete", std::to_string(failed) + " files or folders could not be "
                                                               "saved");
  }
  return 0;
}

int runSearch(const std::vector<std::string> &words) {
  const Args args = parseArgs(words, {}, {"json"});
  if (args.positional().size() != 2) {
    throw UsageError{"usage: quillon-cli search IMAGE VOLUME PATTERN [--json]"};
  }
  checkVolumeArgs(args);
  const std::string pattern = args.positional()[1];
  if (const auto why = patternError(pattern)) {
    throw UsageError{"invalid pattern '" + pattern + "': " + *why};
  }
  Session s;
  if (const int rc = openAndScan(args, args.positional()[0], s); rc != 0) {
    return rc;
  }
  const bool json = args.flag("json");
  const std::optional<ItemData> orphanFolder = s.browser->orphanFolder();
  const std::string orphanName = orphanFolder ? s.browser->info(*orphanFolder).name : std::string();
  printHeader(json);
  const InterruptStops interrupts(s.control);
  const SearchReport report = searchTree(
      *s.browser, s.tree, pattern, s.progress, s.control,
      [&](const SearchHit &hit) {
        s.progress.finish();
        ListedEntry e;
        e.record = hit.record;
        e.info = s.browser->info(hit.record);
        e.path = hit.path;
        e.orphan = orphanFolder && hit.path.size() > 1 && hit.path.front() == orphanName;
        printEntry(*s.browser, e, json);
        std::fflush(stdout);
      },
      SearchOptions{.stopEndsSearch = true});
  s.progress.finish();
  if (report.stopped) {
    return failure("search stopped", std::to_string(report.rows) + " files were found so far");
  }
  return 0;
}

int runCandidates(const std::vector<std::string> &words) {
  const Args args = parseArgs(words, {"max"}, {});
  if (args.positional().size() != 1) {
    throw UsageError{"usage: quillon-cli candidates IMAGE VOLUME [--max N]"};
  }
  checkVolumeArgs(args);
  if (args.has("mode") || args.has("candidate") || args.has("sectors-per-cluster") ||
      args.has("heap")) {
    throw UsageError{"candidates takes no --mode, --candidate, --sectors-per-cluster or --heap"};
  }
  const auto maximum =
      static_cast<std::int64_t>(std::min<std::uint64_t>(args.number("max", 3), 1U << 30));
  Session s;
  if (const int rc = openVolume(args, args.positional()[0], s); rc != 0) {
    return rc;
  }
  if (fat::FatVolume *fat = fatVolume(s)) {
    {
      const InterruptStops interrupts(s.control);
      (void)fat->findFatCandidates(maximum);
    }
    s.progress.finish();
    if (fat->fatCandidates.empty() && s.fat32) {
      s.progress.inform("NO FAT  FAT32-ENTRY found ..");
    }
    printOffsets("Table Offset", s.fat32 ? "FAT32_ENTRY:%d" : "FAT_ENTRY:%d", fat->fatCandidates);
    return 0;
  }
  if (s.exfat) {
    {
      const InterruptStops interrupts(s.control);
      s.exfat->runCandidateSearch(maximum);
    }
    s.progress.finish();
    printOffsets("Table Offset", "FAT64_ENTRY:%d", s.exfat->fatCandidates);
    printOffsets("Heap Offset", "HEAP:%d", s.exfat->heapCandidates);
    return 0;
  }
  if (!s.parser) {
    return failure("cannot search " + s.volume.fsType + " volumes for candidates",
                   "the candidate search reads NTFS and FAT-family volumes");
  }

  std::int64_t found = 0;
  {
    const InterruptStops interrupts(s.control);
    found = runNtfsCandidateSearch(*s.parser, maximum, NtfsScanOptions{.endMessages = false});
  }
  s.progress.finish();
  std::printf("%-16s%s\n", "Candidate", "Record Offset");
  for (std::int64_t i = 0; i < found && static_cast<std::size_t>(i) < s.parser->candidates.size();
       ++i) {
    std::printf("%-16s%llu\n", format("MFT_ENTRY:%d", static_cast<int>(i)).c_str(),
                static_cast<unsigned long long>(
                    s.parser->candidates[static_cast<std::size_t>(i)].recordOffset));
  }
  return 0;
}

} // namespace quillon::cli
