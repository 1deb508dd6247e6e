// vantor mount: an image shown as read-only raw disk files in a directory, without
// restoring it: DIR/disk.img is the whole disk the image describes (sectors outside its
// runs read as zeros; a disk image that is not a captured one, as it is) and
// DIR/partN.img each partition, numbered as the system numbers
// them (MBR primaries 1-4, logical volumes from 5, GPT entries), so that mtools,
// fsck.fat -n, file or a read-only loop mount work on them directly. Served by a FUSE
// file system until `fusermount3 -u DIR` or Ctrl-C (which unmounts). Nothing is ever
// written to the image: the files are read-only, and the disk behind them cannot write.
#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <libVantor/ImageChecksums.h>
#include <libVantor/ImageDisk.h>
#include <libVantor/DriveVolumes.h>
#include <libVantor/PartitionTools.h>
#include <libVantor/VantorException.h>

#include "Commands.h"
#include "ImageFile.h"
#include "RawSource.h"
#include "Target.h"
#include "UsageError.h"

namespace vantor::cli {
namespace {

struct MountOptions {
  std::string image;
  std::string directory;
};

// One file of the mount: a byte range of the image's disk.
struct ServedFile {
  std::string name;
  u64 firstByte;
  u64 byteCount;
};

struct Served {
  std::unique_ptr<RawSource> raw;  // a disk image that is not a captured one, held open
  std::shared_ptr<IDisk> disk;
  std::vector<ServedFile> files;
};

Served& served() { return *static_cast<Served*>(fuse_get_context()->private_data); }

const ServedFile* find(const char* path) {
  if (path[0] != '/') return nullptr;
  for (const ServedFile& file : served().files) {
    if (file.name == path + 1) return &file;
  }
  return nullptr;
}

int getAttributes(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0555;
    st->st_nlink = 2;
    return 0;
  }
  const ServedFile* file = find(path);
  if (!file) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = static_cast<off_t>(file->byteCount);
  return 0;
}

int readDirectory(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  for (const ServedFile& file : served().files) fill(buffer, file.name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int openFile(const char* path, fuse_file_info* info) {
  if (!find(path)) return -ENOENT;
  if ((info->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  return 0;
}

int readFile(const char* path, char* out, size_t size, off_t offset, fuse_file_info*) {
  const ServedFile* file = find(path);
  if (!file) return -ENOENT;
  if (offset < 0 || u64(offset) >= file->byteCount) return 0;
  const u64 length = std::min<u64>(size, file->byteCount - u64(offset));
  const IDisk& disk = *served().disk;
  const u32 sectorSize = disk.getSectorSize();
  const u64 first = file->firstByte + u64(offset);
  const u64 firstSector = first / sectorSize, endSector = (first + length + sectorSize - 1) / sectorSize;
  std::vector<u8> sectors((endSector - firstSector) * sectorSize);
  if (endSector > 0xFFFFFFFFull ||
      !disk.readSectors(static_cast<u32>(firstSector), sectors.data(), static_cast<u32>(endSector - firstSector))) {
    return -EIO;
  }
  std::memcpy(out, sectors.data() + (first - firstSector * sectorSize), static_cast<std::size_t>(length));
  return static_cast<int>(length);
}

// Refuses a DIR that holds anything: a mount would hide it, and the help says empty.
void requireEmptyDirectory(const std::string& directory) {
  DIR* const listing = opendir(directory.c_str());
  if (!listing) {
    throw VantorException(ERR_FILE_ACCESS, vrk::String("cannot mount on \"") + directory + "\": " + std::strerror(errno));
  }
  bool empty = true;
  while (const dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  closedir(listing);
  if (!empty) {
    throw VantorException(ERR_INVALID_ARGUMENT, vrk::String("\"") + directory +
                                                    "\" is not empty: mount needs an empty directory (the mount would "
                                                    "hide what it holds); nothing was mounted");
  }
}

int runMount(const MountOptions& options) {
  requireEmptyDirectory(options.directory);
  const std::string imagePath = Target::absolutePath(options.image);
  ImageFile::refuseCompressed(imagePath, options.image, "mount", false);
  auto state = std::make_unique<Served>();
  if (RawSource::isRaw(imagePath)) {
    state->raw = std::make_unique<RawSource>(RawSource::open(options.image, 512, false));
    state->disk = state->raw->reopen();
  } else {
    state->disk = std::make_shared<ImageDisk>(imagePath);
  }
  IDisk& disk = *state->disk;
  state->files.push_back({"disk.img", 0, disk.getSizeBytes()});
  // partN.img: N as the system numbers partitions (1-4 primary, 5... logical, GPT entries).
  const auto addPartition = [&](u32 number, u64 firstSector, u64 sectorCount) {
    const u64 first = firstSector * disk.getSectorSize();
    if (sectorCount == 0 || first >= disk.getSizeBytes()) return;
    const u64 bytes = std::min<u64>(sectorCount * disk.getSectorSize(), disk.getSizeBytes() - first);
    state->files.push_back({"part" + std::to_string(number) + ".img", first, bytes});
  };
  const bool gpt = DriveVolumes::tableOf(disk) == "gpt";
  if (!gpt) {
    const std::vector<PARTITION_TABLE_ENTRY> entries = PartitionTools::getPartitions(disk);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].partitionType != 0) addPartition(static_cast<u32>(i + 1), entries[i].startLBA, entries[i].sectorCount);
    }
  }
  DRIVE_LAYOUT layout;
  try {
    layout = DriveVolumes::ofDisk(disk);
  } catch (const VantorException&) {
    if (gpt) throw;  // an MBR's primaries are served all the same
  }
  for (const DRIVE_VOLUME& v : layout.volumes) {
    if (gpt || v.number > 4) addPartition(v.number, v.firstSector, v.sectorCount);
  }

  // Served all the same (reading it harms nothing), but not without saying so, as info --check says it.
  // A disk image that is not a captured one has no checksum file.
  const ImageChecksums::Result sums =
      state->raw ? ImageChecksums::Result{ImageChecksums::Verdict::Intact, {}} : ImageChecksums::check(imagePath, true);
  if (sums.verdict == ImageChecksums::Verdict::Disagree) {
    std::cerr << "vantor: warning: " << options.image << ": " << ImageChecksums::message(imagePath, sums)
              << "; what the served files hold there may not be what was captured\n";
  } else if (sums.verdict == ImageChecksums::Verdict::Unusable) {
    std::cerr << "vantor: warning: " << ImageChecksums::message(imagePath, sums) << "\n";
  } else if (sums.verdict == ImageChecksums::Verdict::Missing) {
    std::cerr << "vantor: note: " << options.image << " has no checksums, so it cannot prove it is intact\n";
  }

  fuse_operations operations{};
  operations.getattr = getAttributes;
  operations.readdir = readDirectory;
  operations.open = openFile;
  operations.read = readFile;
  const std::string program = "vantor";
  std::vector<char*> arguments = {const_cast<char*>(program.c_str())};
  fuse_args args = FUSE_ARGS_INIT(static_cast<int>(arguments.size()), arguments.data());
  struct ArgsFree {
    void operator()(fuse_args* a) const { fuse_opt_free_args(a); }
  };
  const std::unique_ptr<fuse_args, ArgsFree> ownedArgs(&args);  // fuse_new copies what it keeps into them
  struct FuseDeleter {
    void operator()(fuse* f) const { fuse_destroy(f); }
  };
  std::unique_ptr<fuse, FuseDeleter> filesystem(fuse_new(&args, &operations, sizeof operations, state.get()));
  if (!filesystem) throw VantorException(ERR_GENERAL, "the FUSE file system could not be made (is /dev/fuse there?)");
  if (fuse_mount(filesystem.get(), options.directory.c_str()) != 0) {
    throw VantorException(ERR_GENERAL, vrk::String("cannot mount on \"") + options.directory +
                                           "\" (an empty directory of yours; /dev/fuse and fusermount3 needed)");
  }
  // Ctrl-C, SIGTERM and SIGHUP end the loop; the directory is unmounted before returning.
  fuse_session* session = fuse_get_session(filesystem.get());
  const bool handlers = fuse_set_signal_handlers(session) == 0;
  std::cerr << "vantor: " << options.image << " is served read-only in " << options.directory
            << " (" << state->files.size() << " files); end with: fusermount3 -u " << options.directory << "\n";
  const int loop = fuse_loop(filesystem.get());
  if (handlers) fuse_remove_signal_handlers(session);
  fuse_unmount(filesystem.get());
  return loop == 0 ? 0 : 1;
}

}  // namespace

void addMountCommand(CLI::App& app, CommandAction& action) {
  auto options = std::make_shared<MountOptions>();
  CLI::App* command = app.add_subcommand(
      "mount", "Show an image as read-only raw disk files (disk.img, part1.img, ...) in DIR, until fusermount3 -u DIR");
  command->add_option("IMAGE", options->image, "Image file to serve")->required();
  command->add_option("DIR", options->directory, "Empty directory to mount on")->required();
  command->callback([options, &action] { action = [options] { return runMount(*options); }; });
}

}  // namespace vantor::cli
