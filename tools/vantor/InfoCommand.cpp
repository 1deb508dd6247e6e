// vantor info: what an image file holds and what a target needs to receive it.
#include <iostream>
#include <memory>

#include <libVantor/DiskImager.h>
#include <libVantor/VantorException.h>

#include "Commands.h"
#include "ErrorReport.h"
#include "FileFacts.h"
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
  const FileFacts::Kind kind = FileFacts::inspect(path).kind;
  if (kind != FileFacts::Kind::Missing && kind != FileFacts::Kind::Regular) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("\"") + options.image + "\" is not a regular file" +
                                               (kind == FileFacts::Kind::Directory ? " (a directory)" : "") +
                                               "; an image is always a regular file");
  }
  const ImageFile facts = ImageFile::read(path);
  DISK_IMAGE_INFO info{};
  if (!DiskImager::getImageInfo(path, info)) {
    throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("the library cannot read the image \"") + path + "\"");
  }

  if (options.json) {
    JsonWriter json;
    json.beginObject();
    json.key("image").string(path);
    json.key("majorVersion").number(info.majorVersion);
    json.key("minorVersion").number(info.minorVersion);
    json.key("sectorSize").number(info.sectorSize);
    json.key("requiredCapacity").number(info.requiredCapacity);
    json.key("runCount").number(facts.runCount);
    json.key("usedSectors").number(facts.totalSectors);
    json.key("usedBytes").number(facts.usedBytes());
    json.key("highestVolumeSector").number(facts.highestVolumeSector);
    json.key("fileSize").number(facts.fileSize);
    json.key("complete").boolean(facts.complete);
    json.endObject();
    std::cout << json.str() << "\n";
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
