// vantor info: what an image file holds and what a target needs to receive it.
#include <iostream>
#include <memory>

#include <libVantor/DiskImager.h>
#include <libVantor/VantorException.h>

#include "Commands.h"
#include "ErrorReport.h"
#include "FileFacts.h"
#include "ImageFile.h"
#include "ImageSums.h"
#include "JsonWriter.h"
#include "Target.h"
#include "Units.h"

namespace vantor::cli {
namespace {

struct InfoOptions {
  std::string image;
  bool json = false;
  bool check = false;
};

int runInfo(const InfoOptions& options) {
  const std::string path = Target::absolutePath(options.image);
  const FileFacts::Kind kind = FileFacts::inspect(path).kind;
  if (kind != FileFacts::Kind::Missing && kind != FileFacts::Kind::Regular) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("\"") + options.image + "\" is not a regular file" +
                                               (kind == FileFacts::Kind::Directory ? " (a directory)" : "") +
                                               "; an image is always a regular file");
  }
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
  ImageSums::Result sums;
  if (damage.empty()) {
    sums = ImageSums::check(path, options.check);
    if (sums.verdict == ImageSums::Verdict::Damaged) damage = "the image is " + ImageSums::describe(sums) + " (its checksums say so)";
  }

  if (options.json) {
    Json json;
    json["image"] = path;
    json["majorVersion"] = info.majorVersion;
    json["minorVersion"] = info.minorVersion;
    json["sectorSize"] = info.sectorSize;
    json["requiredCapacity"] = info.requiredCapacity;
    if (damage.empty()) {
      json["runCount"] = facts.runCount;
      json["usedSectors"] = facts.totalSectors;
      json["usedBytes"] = facts.usedBytes();
      json["highestVolumeSector"] = facts.highestVolumeSector;
      json["fileSize"] = facts.fileSize;
    }
    json["complete"] = damage.empty();
    json["checksums"] = ImageSums::describe(sums) + (options.check || sums.verdict != ImageSums::Verdict::Intact
                                                        ? ""
                                                        : " (header and run table; --check reads all)");
    if (!damage.empty()) json["damage"] = damage;
    JsonWriter::print(json, std::cout);
  } else {
    std::cout << "Image:              " << path << "\n"
              << "Format version:     " << info.majorVersion << "." << info.minorVersion << "\n"
              << "Sector size:        " << info.sectorSize << " bytes\n";
    if (damage.empty()) {
      std::cout << "Runs:               " << facts.runCount << "\n"
                << "Used sectors:       " << facts.totalSectors << " (" << Units::bytes(facts.usedBytes()) << ")\n"
                << "Used bytes:         " << facts.usedBytes() << "\n";
    }
    std::cout << "Required capacity:  " << info.requiredCapacity << " bytes (" << Units::bytes(info.requiredCapacity)
              << ")\n";
    if (damage.empty()) {
      std::cout << "File size:          " << facts.fileSize << " bytes (" << Units::bytes(facts.fileSize) << ")\n";
    }
    std::cout << "Contents:           " << (damage.empty() ? "complete" : "DAMAGED") << "\n"
              << "Checksums:          " << ImageSums::describe(sums)
              << (options.check || sums.verdict != ImageSums::Verdict::Intact ? "" : " (header and run table; --check reads all)")
              << "\n";
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
  CLI::App* command = app.add_subcommand("info", "Describe an image file");
  command->add_option("IMAGE", options->image, "Image file to read")->required();
  command->add_flag("--json", options->json, "Print the description as JSON");
  command->add_flag("--check", options->check, "Read the whole image and hold every chunk against its checksums");
  command->callback([options, &action] { action = [options] { return runInfo(*options); }; });
}

}  // namespace vantor::cli
