// vantor info: what an image file holds and what a target needs to receive it.
#include <sys/stat.h>

#include <iostream>
#include <memory>

#include <libVantor/DiskImager.h>
#include <libVantor/VantorException.h>

#include "Commands.h"
#include "ErrorReport.h"
#include "ImageFile.h"
#include "JsonWriter.h"
#include "Target.h"
#include "Units.h"

namespace vantor::cli {
namespace {

struct InfoOptions {
  std::string image;
  bool json = false;
};

int runInfo(const InfoOptions& options) {
  const std::string path = Target::absolutePath(options.image);
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("\"") + options.image + "\" is not a regular file" +
                                               (S_ISDIR(status.st_mode) ? " (a directory)" : "") +
                                               "; an image is always a regular file");
  }
  const ImageFile facts = ImageFile::read(path);
  DISK_IMAGE_INFO info{};
  if (!DiskImager::getImageInfo(path, info)) {
    throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("the library cannot read the image \"") + path + "\"");
  }

  if (options.json) {
    Json json;
    json["image"] = path;
    json["majorVersion"] = info.majorVersion;
    json["minorVersion"] = info.minorVersion;
    json["sectorSize"] = info.sectorSize;
    json["requiredCapacity"] = info.requiredCapacity;
    json["runCount"] = facts.runCount;
    json["usedSectors"] = facts.totalSectors;
    json["usedBytes"] = facts.usedBytes();
    json["highestVolumeSector"] = facts.highestVolumeSector;
    json["fileSize"] = facts.fileSize;
    json["complete"] = facts.complete;
    JsonWriter::print(json, std::cout);
  } else {
    std::cout << "Image:              " << path << "\n"
              << "Format version:     " << info.majorVersion << "." << info.minorVersion << "\n"
              << "Sector size:        " << info.sectorSize << " bytes\n"
              << "Runs:               " << facts.runCount << "\n"
              << "Used sectors:       " << facts.totalSectors << " (" << Units::bytes(facts.usedBytes()) << ")\n"
              << "Used bytes:         " << facts.usedBytes() << "\n"
              << "Required capacity:  " << info.requiredCapacity << " bytes (" << Units::bytes(info.requiredCapacity)
              << ")\n"
              << "File size:          " << facts.fileSize << " bytes (" << Units::bytes(facts.fileSize) << ")\n"
              << "Contents:           "
              << (facts.complete ? "complete"
                                 : "DAMAGED: " + std::to_string(facts.runsPresent) + " of " +
                                       std::to_string(facts.runCount) + " runs present, or data after the last run")
              << "\n";
  }
  if (!facts.complete) {
    ErrorReport::print(ERR_INVALID_IMAGE_FILE, std::to_string(facts.runsPresent) + " of " + std::to_string(facts.runCount) +
                                                   " runs are whole, or data follows the last run: the image is damaged");
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
  command->callback([options, &action] { action = [options] { return runInfo(*options); }; });
}

}  // namespace vantor::cli
