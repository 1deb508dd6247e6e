// vantor bootkey: lay a boot loader and its payload onto a key, or wipe the key's start.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <libVantor/OxbowKeyFormatter.h>
#include <libVantor/SignatureEraser.h>
#include <libVantor/VantorException.h>

#include "Commands.h"
#include "RemountGuard.h"
#include "Target.h"
#include "TargetGuard.h"
#include "Units.h"
#include "UsageError.h"

namespace vantor::cli {
namespace {


struct BootKeyOptions {
  std::string target;
  bool format = false;  // the format subcommand; reset otherwise
  std::string loader;
  std::string payload;
  std::string segment = "0x1000";
  std::uint32_t reserved = 0;
  bool yes = false;
  bool force = false;
  TargetOptions targetOptions;
};

int runBootKey(BootKeyOptions options) {
  const bool format = options.format;
  const std::uint64_t segment = Units::parseNumber(options.segment);
  if (segment > 0xFFFF) throw UsageError("--segment is a 16-bit value (at most 0xffff)");
  if (options.reserved > 0xFFFF) throw UsageError("--reserved is at most 65535 sectors");
  options.targetOptions.forWriting = true;

  Target target = Target::open(options.target, options.targetOptions);
  TargetGuard guard(options.yes, options.force);
  if (format) {
    guard.addReplaced(target);
  } else {
    // The reset clears 1024 whole sectors; on anything smaller it would reach past the
    // end (and make a disk file larger).
    const std::uint64_t resetBytes = std::uint64_t(OxbowKeyFormatter::RESET_SECTORS) * target.device().getSectorSize();
    if (target.device().capacityBytes() < resetBytes) {
      throw VantorException(ERR_INVALID_ARGUMENT,
                            vrk::String(target.path()) + " holds " + std::to_string(target.device().capacityBytes()) +
                                " bytes, less than the " + std::to_string(resetBytes) + " bytes (" +
                                std::to_string(OxbowKeyFormatter::RESET_SECTORS) + " sectors) a reset clears; nothing was written");
    }
    guard.addZeroed(target, {{0, resetBytes}});
  }
  guard.require(format ? "write the boot loader and payload over the start of the disk and replace its partition table"
                       : "zero the first 1024 sectors (partition table and boot area)");
  OxbowKeyFormatter formatter(target.device());
  // Once begun, the write runs to its end and the drive is mounted back; a signal that
  // came in meanwhile is answered afterwards. The formatter dismounts and mounts back.
  const std::string done = target.path() + " was written";
  if (!format) {
    {
      const RemountGuard hold;
      formatter.resetKey();
    }
    if (RemountGuard::interruptedAfter(done)) return 130;
    std::cout << "Reset " << target.path() << ": sectors 0 to 1023 are zero\n";
    return 0;
  }
  OxbowKeyFormatter::FormatInfo info;
  std::vector<std::string> erased;
  {
    const RemountGuard hold;
    formatter.format(Target::absolutePath(options.loader), Target::absolutePath(options.payload),
                     static_cast<u16>(segment), static_cast<u16>(options.reserved), &info);
    // A GPT (both headers) or a file system the new layout does not overwrite would
    // still be found beside it: cleared while the drive is held.
    IDisk& disk = target.device().rawDisk();
    if (!disk.dismountDrive()) throw VantorException(ERR_DISMOUNT_FAILED);
    erased = SignatureEraser::eraseForeign(disk, [&info](u64 sector) { return sector < info.dataFirstSector; });
    (void)disk.mountDrive();
  }
  if (RemountGuard::interruptedAfter(done)) return 130;
  std::cout << "Formatted " << target.path() << " as a boot key:\n"
            << "  boot loader   sectors 0-" << info.bootLoaderSectors - 1 << " (" << info.bootLoaderSectors << ")\n"
            << "  reserved      " << info.reservedSectors << " sectors\n"
            << "  payload       sectors " << info.payloadFirstSector << "-" << info.payloadLastSector << "\n"
            << "  data          sectors " << info.dataFirstSector << "-" << info.dataLastSector << " ("
            << Units::bytes(u64(info.dataLastSector - info.dataFirstSector + 1) * 512) << ", not formatted)\n"
            << std::hex << std::showbase << "  load segment  " << info.startSegment << " to " << info.endSegment
            << std::dec << std::noshowbase << "\n";
  for (const std::string& what : erased) std::cout << "  erased an old " << what << "\n";
  return 0;
}

}  // namespace

void addBootKeyCommand(CLI::App& app, CommandAction& action) {
  auto options = std::make_shared<BootKeyOptions>();
  CLI::App* command = app.add_subcommand("bootkey", "Make a key boot a boot loader and its payload, or wipe its start");
  command->add_option("TARGET", options->target, "Block device or disk file")->required();
  command->add_flag("-y,--yes", options->yes, "Do not ask before writing a block device");
  command->add_flag("--force", options->force,
                    "Do not ask at all: also write over a captured image, and let reset clear a disk file that holds "
                    "data");
  addTargetOptions(*command, options->targetOptions, false);
  command->require_subcommand(1);

  CLI::App* format = command->add_subcommand("format", "Lay the boot loader and its payload onto the key");
  format->add_option("--loader", options->loader, "Boot loader file (its header is described below)")->required();
  format->add_option("--payload", options->payload, "Payload file")->required();
  format->add_option("--segment", options->segment, "Load segment, 0x1000 or above")->capture_default_str();
  format->add_option("--reserved", options->reserved, "Zeroed sectors between loader and payload")
      ->capture_default_str();
  format->footer(
      "The boot loader file:\n"
      "  Its first 512 bytes become sector 0 (the MBR); the partition entries at byte 446 are written over.\n"
      "  Somewhere in it, the first occurrence of the bytes \"VRK\" begins an 11-byte header (little-endian):\n"
      "    +0  \"VRK\"          signature\n"
      "    +3  1 byte         major version: 1\n"
      "    +4  1 byte         minor version: 0 or 1\n"
      "    +5  2 bytes        load segment (filled in from --segment)\n"
      "    +7  2 bytes        first payload sector (filled in)\n"
      "    +9  2 bytes        payload sectors (filled in)\n"
      "  The filled-in fields are written in the key's copy only, never in the file. A file without\n"
      "  \"VRK\", of another version, or whose header does not fit in it is refused.\n"
      "Layout on the key (512-byte sectors): the loader from sector 0, --reserved zeroed sectors, the\n"
      "payload, then a data partition (type 0x0b, not formatted) over the rest; a bootable entry\n"
      "(type 0x7e) covers the payload. The boot area must stay below 65536 sectors.");
  format->callback([options, &action] {
    options->format = true;
    action = [options] { return runBootKey(*options); };
  });
  CLI::App* reset = command->add_subcommand("reset", "Zero the first 1024 sectors (partition table and boot area)");
  reset->callback([options, &action] { action = [options] { return runBootKey(*options); }; });
}

}  // namespace vantor::cli
