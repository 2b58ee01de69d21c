// The disk-level commands: info, volumes and image.
#include "cli/cli_progress.h"
#include "cli/commands.h"
#include "cli/interrupt_stops.h"

#include "core/text_format.h"
#include "core/worker_control.h"
#include "disk/image_save.h"
#include "disk/reader.h"
#include "disk/vmdk_reader.h"
#include "disk/vmdk_split_reader.h"
#include "volumes/partition.h"
#include "volumes/volume_record.h"

#include <cstdio>
#include <cstring>
#include <iostream>

namespace quillon::cli {

namespace {

std::string requireImage(const Args &args, const char *usage) {
  if (args.positional().size() != 1) {
    throw UsageError{std::string("usage: quillon-cli ") + usage};
  }
  return args.positional()[0];
}

void printDescriptorInfo(const VmdkDescriptorInfo &info, const std::vector<VmdkExtent> &extents) {
  const std::pair<const char *, const std::string *> rows[] = {
      {"createType", &info.createType}, {"version", &info.version},     {"CID", &info.CID},
      {"parentCID", &info.parentCID},   {"cylinders", &info.cylinders}, {"heads", &info.heads},
      {"sectors", &info.sectors},
  };
  for (const auto &[name, value] : rows) {
    if (!value->empty()) {
      std::printf("%-14s%s\n", (std::string(name) + ":").c_str(), value->c_str());
    }
  }
  for (const VmdkExtent &e : extents) {
    std::printf("extent:       %llu sectors %s \"%s\"\n",
                static_cast<unsigned long long>(e.sectorCount), e.type.c_str(), e.fileName.c_str());
  }
}

} // namespace

ReaderChoice readerChoice(const Args &args) {
  ReaderChoice c;
  const std::string type = args.value("type").value_or("auto");
  if (type == "auto") {
    c.type = ImageType::Auto;
  } else if (type == "vmdk") {
    c.type = ImageType::Vmdk;
  } else if (type == "vhd") {
    c.type = ImageType::Vhd;
  } else if (type == "vdi") {
    c.type = ImageType::Vdi;
  } else {
    throw UsageError{"--type must be auto, vmdk, vhd or vdi"};
  }
  c.split = args.flag("split");
  c.descriptor = args.flag("descriptor");
  if (const auto et = args.value("extent-type")) {
    if (*et != "SPARSE" && *et != "FLAT") {
      throw UsageError{"--extent-type must be SPARSE or FLAT"};
    }
    c.extentType = *et;
  } else if (c.type == ImageType::Vmdk && !c.descriptor) {
    c.extentType = "SPARSE";
  }
  return c;
}

int failure(const std::string &what, const std::string &why) {
  std::fprintf(stderr, "quillon-cli: %s: %s\n", what.c_str(), why.c_str());
  return 1;
}

int runInfo(const std::vector<std::string> &words) {
  const Args args(words, kImageValueOptions, kImageFlags);
  const std::string image = requireImage(args, "info IMAGE");
  CliProgress progress;
  std::string error;
  if (!openActiveReader(readerChoice(args), image, progress, error)) {
    return failure("cannot open " + image, error);
  }
  const readWriteInterface &r = *activeReader;
  std::printf("image:        %s\n", image.c_str());
  std::printf("container:    %s\n", r.kindText().c_str());
  std::printf("image size:   %llu bytes\n", static_cast<unsigned long long>(r.imageSize));
  std::printf("disk size:    %llu sectors (%s)\n", static_cast<unsigned long long>(diskSectorCount),
              sizeText(diskSectorCount * kSectorSize).c_str());
  if (const auto *v = dynamic_cast<const FileReadSeekVmdk *>(&r)) {
    if (v->isSparse()) {
      std::printf("grain size:   %llu sectors\n", static_cast<unsigned long long>(v->grainSize()));
    }
    printDescriptorInfo(v->descriptorInfo, v->extents);
  } else if (const auto *s = dynamic_cast<const FileReadSeekVmdkSplit *>(&r)) {
    std::printf("extent files: %zu\n", s->extentReaders.size());
    printDescriptorInfo(s->descriptorInfo, s->extents);
  }
  return 0;
}

void checkDiscoveryArgs(const Args &args) {
  if (!args.flag("scan") && (args.has("from") || args.has("to") || args.flag("no-skip"))) {
    throw UsageError{"--from, --to and --no-skip go with --scan"};
  }
}

int discoverVolumes(const Args &args, Progress &progress, WorkerControl &control,
                    std::vector<VolumeRecord> &records,
                    const std::function<void(const VolumeRecord &)> &onFound) {
  Partition partition(*activeReader, progress, records);
  partition.gptMode = args.flag("gpt");
  partition.control = &control;
  if (args.flag("scan")) {
    partition.skipFoundVolumes = !args.flag("no-skip");
    partition.scanStartSector = args.number("from", 0);
    partition.scanEndSector = args.number("to", 0);
    partition.onVolumeFound = onFound;
    const InterruptStops interrupts(control);
    partition.scanBootSectors();
    return 0;
  }
  const int rc = partition.listPartitions();
  if (onFound) {
    for (const VolumeRecord &r : records) {
      onFound(r);
    }
  }
  return rc;
}

int runVolumes(const std::vector<std::string> &words) {
  std::set<std::string> values = kImageValueOptions;
  values.insert(kDiscoveryValueOptions.begin(), kDiscoveryValueOptions.end());
  std::set<std::string> flags = kImageFlags;
  flags.insert(kDiscoveryFlags.begin(), kDiscoveryFlags.end());
  flags.insert("json");
  const Args args(words, values, flags);
  const std::string image = requireImage(
      args, "volumes IMAGE [--gpt] [--scan [--from SECTOR] [--to SECTOR] [--no-skip]] [--json]");
  checkDiscoveryArgs(args);
  CliProgress progress;
  std::string error;
  if (!openActiveReader(readerChoice(args), image, progress, error)) {
    return failure("cannot open " + image, error);
  }
  std::vector<VolumeRecord> records;
  const bool json = args.flag("json");
  if (!json) {
    std::printf("%-8s%-14s%-14s%s\n", "Volume", "File System", "Volume Size", "Start Sector");
  }
  auto print = [json, &progress](const VolumeRecord &r) {
    progress.finish();
    if (json) {
      std::printf("%s\n", volumeJson(r).c_str());
    } else {
      std::printf("%-8s%-14s%-14s%lld\n", r.number.c_str(), r.fsType.c_str(),
                  r.volumeSizeText.c_str(), static_cast<long long>(r.startSector));
    }
    std::fflush(stdout);
  };
  WorkerControl control;
  const int rc = discoverVolumes(args, progress, control, records, print);
  progress.finish();
  if (rc != 0) {
    return failure("cannot read the partition table", std::strerror(rc));
  }
  return 0;
}

int runImage(const std::vector<std::string> &words) {
  std::set<std::string> values = kImageValueOptions;
  values.insert("out");
  const Args args(words, values, kImageFlags);
  const std::string image = requireImage(args, "image IMAGE --out DIR");
  const auto out = args.value("out");
  if (!out) {
    throw UsageError{"image needs --out DIR"};
  }
  std::error_code ec;
  std::filesystem::create_directories(*out, ec);
  if (!std::filesystem::is_directory(*out)) {
    return failure("cannot use " + *out, ec ? ec.message() : "not a folder");
  }
  const std::filesystem::path output = imageOutputPath(*out, image);
  CliProgress progress;
  WorkerControl control;
  ImageSaveResult result;
  {
    const InterruptStops interrupts(control);
    result = saveDiskImage(readerChoice(args), image, output, progress, control);
  }
  progress.finish();
  if (result.stopped) {
    return failure("image stopped", output.string() + " holds the first " +
                                        std::to_string(result.written) + " bytes");
  }
  if (!result.ok) {
    return failure("cannot save the disk image", result.error);
  }
  std::printf("%s\n", output.c_str());
  return 0;
}

} // namespace quillon::cli
