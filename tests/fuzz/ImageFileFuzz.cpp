// Arbitrary bytes as an image file: getImageInfo, then a verified restore onto a small
// disk in memory. Whatever the bytes, nothing may read past the file or crash.
#include <unistd.h>

#include <cstdio>
#include <string>

#include <libVantor/DiskImager.h>
#include <vrk/Log.h>

#include "MemoryDisk.h"

using namespace vantor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/vantor-fuzz-" + std::to_string(::getpid()) + ".img";
  vrk::LogFactory::setPriority(5);  // quiet
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  DISK_IMAGE_INFO info{};
  (void)DiskImager::getImageInfo(path, info);

  auto disk = std::make_shared<fuzz::MemoryDisk>(512, 256);
  DiskDevice device("fuzz", disk);
  DiskImager imager(device);
  imager.setVolumeTooLargeBehavior(DiskImager::ALLOW_VOLUME_TOO_LARGE);
  try {
    imager.startWritingImage(path, true, false, true, nullptr);
  } catch (const VantorException&) {
  }
  std::remove(path.c_str());
  return 0;
}
