// vantor info: what an image file holds and what a target needs to receive it; with
// --map, its runs and how full the FAT volumes in it are.
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <memory>
#include <vector>

#include <libVantor/DiskImager.h>
#include <libVantor/DriveVolumes.h>
#include <libVantor/FatVolumeUsage.h>
#include <libVantor/ImageChecksums.h>
#include <libVantor/ImageDisk.h>
#include <libVantor/VantorException.h>

#include "Commands.h"
#include "ErrorReport.h"
#include "ImageFile.h"
#include "JsonWriter.h"
#include "RawSource.h"
#include "Target.h"
#include "Units.h"
#include "VolumeLines.h"

namespace vantor::cli {
namespace {

struct InfoOptions {
  std::string image;
  bool json = false;
  bool check = false;
  bool map = false;
  std::uint32_t sectorSize = 512;  // a raw source's
};

std::string hexType(u8 type) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", type);
  return text;
}

// --map: the runs, and the FAT volumes of the image's table with their clusters, read
// through the image seen as a disk.
void printMap(const ImageFile& facts, const std::vector<FAT_VOLUME_USAGE>& volumes, const DRIVE_LAYOUT& layout,
              u32 sectorSize) {
  std::cout << "Runs:\n  " << std::right << std::setw(6) << "RUN" << std::setw(14) << "FIRST SECTOR" << std::setw(12)
            << "SECTORS" << std::setw(16) << "FILE OFFSET" << "\n";
  for (std::size_t i = 0; i < facts.runs.size(); ++i) {
    const ImageFile::Run& run = facts.runs[i];
    std::cout << "  " << std::setw(6) << i + 1 << std::setw(14) << run.firstSector << std::setw(12) << run.sectorCount
              << std::setw(16) << run.fileOffset << "\n";
  }
  std::cout << "FAT volumes:" << (volumes.empty() ? " none\n" : "\n");
  for (const FAT_VOLUME_USAGE& volume : volumes) {
    std::cout << "  slot " << volume.slot << ", type " << hexType(volume.partitionType) << ", from sector "
              << volume.firstSector << ", " << volume.sectorCount << " sectors: ";
    if (!volume.unreadable.empty()) {
      std::cout << "not readable (" << volume.unreadable << ")\n";
      continue;
    }
    std::cout << volume.clusterCount << " clusters of " << volume.sectorsPerCluster << " sectors, "
              << volume.usedClusters << " used, " << volume.freeClusters() << " free\n";
  }
  if (!layout.table.empty()) VolumeLines::printTable(std::cout, layout, sectorSize);
}

Json mapJson(const ImageFile& facts, const std::vector<FAT_VOLUME_USAGE>& volumes, const DRIVE_LAYOUT& layout) {
  Json runs = Json::array();
  for (const ImageFile::Run& run : facts.runs) {
    runs.push_back({{"firstSector", run.firstSector}, {"sectorCount", run.sectorCount}, {"fileOffset", run.fileOffset}});
  }
  Json fat = Json::array();
  for (const FAT_VOLUME_USAGE& volume : volumes) {
    Json item{{"slot", volume.slot},
              {"type", volume.partitionType},
              {"firstSector", volume.firstSector},
              {"sectorCount", volume.sectorCount}};
    if (volume.unreadable.empty()) {
      item["sectorsPerCluster"] = volume.sectorsPerCluster;
      item["clusterCount"] = volume.clusterCount;
      item["usedClusters"] = volume.usedClusters;
      item["freeClusters"] = volume.freeClusters();
    } else {
      item["unreadable"] = volume.unreadable;
    }
    fat.push_back(std::move(item));
  }
  Json out{{"runs", std::move(runs)}, {"fatVolumes", std::move(fat)}};
  if (!layout.table.empty()) out["layout"] = VolumeLines::json(layout);
  return out;
}

// A raw source (RawSource): its size, its table and volumes with their used sectors, as
// the library reads them, as `partitions show` prints them.
int runRawInfo(const InfoOptions& options) {
  const RawSource source = RawSource::open(options.image, options.sectorSize, false);
  const DRIVE_LAYOUT& layout = source.layout();
  const u32 sectorSize = source.disk().getSectorSize();
  const std::uint64_t size = source.disk().getSizeBytes();
  const std::uint64_t usedBytes = layout.usedSectors * sectorSize;
  if (options.json) {
    Json json;
    json["diskImage"] = source.path();
    json["sectorSize"] = sectorSize;
    json["sizeBytes"] = size;
    json["table"] = layout.table;
    json["usedSectors"] = layout.usedSectors;
    json["usedBytes"] = usedBytes;
    json["layout"] = VolumeLines::json(layout);
    JsonWriter::print(json, std::cout);
    return 0;
  }
  std::cout << "Disk image:         " << source.path() << "\n"
            << "Sector size:        " << sectorSize << " bytes\n"
            << "Size:               " << size << " bytes (" << Units::bytes(size) << ")\n"
            << "Partition table:    " << layout.table << "\n"
            << "Used sectors:       " << layout.usedSectors << " (" << Units::bytes(usedBytes) << ")\n"
            << "Used bytes:         " << usedBytes << "\n";
  VolumeLines::printTable(std::cout, layout, sectorSize);
  return 0;
}

// A compressed disk image: its compression and, when its file states it, its size. Its
// table and volumes are only known once it is decompressed.
int runCompressedInfo(const InfoOptions& options, const std::string& path) {
  const std::string compression = DiskImager::compressionOf(path);
  const std::uint64_t size = DiskImager::compressedSizeOf(path);
  if (options.json) {
    Json json;
    json["diskImage"] = path;
    json["compression"] = compression;
    json["sizeBytes"] = size ? Json(size) : Json(nullptr);
    JsonWriter::print(json, std::cout);
    return 0;
  }
  std::cout << "Disk image:         " << path << "\n"
            << "Compression:        " << compression << "\n";
  if (size) {
    std::cout << "Size:               " << size << " bytes (" << Units::bytes(size) << ") decompressed\n";
  } else {
    std::cout << "Size:               not stated by the file; known once it is decompressed\n";
  }
  return 0;
}

int runInfo(const InfoOptions& options) {
  const std::string path = Target::absolutePath(options.image);
  if (*DiskImager::compressionOf(path)) return runCompressedInfo(options, path);
  if (RawSource::isRaw(path)) return runRawInfo(options);
  ImageFile::requireRegularFile(path, options.image);
  DISK_IMAGE_INFO info{};
  if (!DiskImager::getImageInfo(path, info)) {
    // The header itself is refused: the library's reading says why.
    (void)ImageFile::read(path);
    throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("the library cannot read the image \"") + path + "\"");
  }
  ImageFile facts;
  std::string damage;  // empty for an intact image
  try {
    facts = ImageFile::read(path);
  } catch (const VantorException& e) {
    if (e.getErrorCode() != ERR_INVALID_IMAGE_FILE) throw;
    damage = e.getMessage().str();
  }
  std::vector<FAT_VOLUME_USAGE> volumes;
  DRIVE_LAYOUT layout;  // every volume, as a capture of the drive it was made from reads them
  if (options.map && damage.empty()) {
    ImageDisk disk(path);
    volumes = FatVolumeUsage::ofDisk(disk);
    try {
      layout = DriveVolumes::ofDisk(disk);
    } catch (const VantorException& e) {
      std::cerr << "vantor: the image's volumes cannot be listed: " << e.getMessage().str() << "\n";
    }
  }
  // A checksum file that disagrees makes the image suspect (it, or the checksum file, is
  // not what was captured); one that cannot be used says nothing about the image.
  ImageChecksums::Result sums;
  bool disagrees = false;
  const auto partial = [&] { return !options.check && sums.verdict == ImageChecksums::Verdict::Intact; };
  if (damage.empty()) {
    sums = ImageChecksums::check(path, options.check);
    disagrees = sums.verdict == ImageChecksums::Verdict::Disagree;
    if (disagrees) damage = ImageChecksums::message(path, sums);
    if (sums.verdict == ImageChecksums::Verdict::Unusable) {
      std::cerr << "vantor: warning: " << ImageChecksums::message(path, sums) << "\n";
    }
  }

  // What a restore needs, as restore itself checks it (known only for an intact image).
  const std::uint64_t required =
      damage.empty() || disagrees ? facts.requiredBytes(info.requiredCapacity) : info.requiredCapacity;

  if (options.json) {
    Json json;
    json["image"] = path;
    json["majorVersion"] = info.majorVersion;
    json["minorVersion"] = info.minorVersion;
    json["sectorSize"] = info.sectorSize;
    json["requiredCapacity"] = required;
    if (damage.empty() || disagrees) {
      json["runCount"] = facts.runCount;
      json["usedSectors"] = facts.totalSectors;
      json["usedBytes"] = facts.usedBytes();
      json["highestVolumeSector"] = facts.highestVolumeSector;
      json["fileSize"] = facts.fileSize;
      if (facts.compressed) json["compression"] = "zstd";
    }
    json["complete"] = damage.empty() || disagrees;
    json["checksums"] = ImageChecksums::describe(sums) + (partial() ? " (header and run table; --check reads all)" : "");
    if (!damage.empty()) json["damage"] = damage;
    if (options.map && damage.empty()) json["map"] = mapJson(facts, volumes, layout);
    JsonWriter::print(json, std::cout);
  } else {
    std::cout << "Image:              " << path << "\n"
              << "Format version:     " << info.majorVersion << "." << info.minorVersion << "\n"
              << "Sector size:        " << info.sectorSize << " bytes\n";
    if (damage.empty() || disagrees) {
      std::cout << "Runs:               " << facts.runCount << "\n"
                << "Used sectors:       " << facts.totalSectors << " (" << Units::bytes(facts.usedBytes()) << ")\n"
                << "Used bytes:         " << facts.usedBytes() << "\n";
    }
    std::cout << "Required capacity:  " << required << " bytes (" << Units::bytes(required)
              << ")\n";
    if (damage.empty() || disagrees) {
      std::cout << "File size:          " << facts.fileSize << " bytes (" << Units::bytes(facts.fileSize) << ")"
                << (facts.compressed ? ", compressed with zstd" : "") << "\n";
    }
    std::cout << "Contents:           " << (damage.empty() || disagrees ? "complete" : "DAMAGED") << "\n"
              << "Checksums:          " << ImageChecksums::describe(sums)
              << (partial() ? " (header and run table; --check reads all)" : "")
              << "\n";
    if (options.map && damage.empty()) printMap(facts, volumes, layout, info.sectorSize);
  }
  if (!damage.empty()) {
    ErrorReport::print(ERR_INVALID_IMAGE_FILE, damage);
    return 1;
  }
  return 0;
}

}  // namespace

void addInfoCommand(CLI::App& app, CommandAction& action) {
  auto options = std::make_shared<InfoOptions>();
  CLI::App* command = app.add_subcommand("info", "Describe an image file, or a disk image's table and volumes");
  command->add_option("IMAGE", options->image, "Image file to read: a captured image, or a disk image")->required();
  command->add_flag("--json", options->json, "Print the description as JSON");
  command->add_flag("--check", options->check, "Read the whole image and hold every chunk against its checksums");
  command->add_flag("--map", options->map,
                    "Also list the runs, and the FAT volumes of the image's partition table with their used and free "
                    "clusters");
  command->add_option("--sector-size", options->sectorSize,
                      "Sector size of a disk file that is not a captured image (default 512)");
  command->callback([options, &action] { action = [options] { return runInfo(*options); }; });
}

}  // namespace vantor::cli
