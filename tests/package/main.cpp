// Zeroes a small disk file through the installed library and reads it back; captures it
// with checksums into an image and holds the image against its checksum file.
#include <libVantor/Vantor.h>

#include <memory>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  using namespace vantor;
  if (argc != 2) return 2;
  auto disk = std::make_shared<WinDiskFile>(argv[1], WinDiskFile::OpenAlways, 512, 4096 * 512);
  std::vector<u8> sector(512, 0xAA);
  if (!disk->isOpen() || !disk->writeSectors(3, sector.data(), 1)) return 1;
  DiskDevice device("package check", disk);
  DiskImager imager(device);
  imager.registerObserver(new CLImagingObserver);
  imager.startZeroingDisk(true, std::vector<std::pair<u64, u64>>{{3, 3}});
  imager.throwIfError();
  if (!disk->readSectors(3, sector.data(), 1) || sector[0] != 0) return 1;

  const std::string image = std::string(argv[1]) + ".vqi";
  imager.setImageChecksums(DiskImager::CHECKSUMS_ON_REPLACING);
  imager.startReadingImage(image, true, false);
  imager.throwIfError();
  return ImageChecksums::check(image, true).verdict == ImageChecksums::Verdict::Intact ? 0 : 1;
}
