// Compressed disk images written by the imaging engine: made by the formats' own tools
// from a sample disk (two FAT volumes with files), restored verified onto three drives
// at once, byte for byte; and the ways a stream goes wrong, none of them a success and
// none touching sector 0 of the drive.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <tuple>
#include <string>
#include <vector>

#include <libVantor/CompressedSource.h>
#include <libVantor/DiskFactory.h>
#include <libVantor/DiskImager.h>
#include <libVantor/internal/CompressedGroup.h>
#include <libVantor/internal/CompressedImageFormat.h>
#include <libVantor/internal/EveryVolumeMap.h>
#include <libVantor/internal/GptLayout.h>
#include "support/FakeDisk.h"
#include "support/Imaging.h"
#include "support/LoopDevice.h"
#include "support/TempDir.h"

using namespace vantor;
using namespace vantor::test;

namespace {


class CompressedSource : public ::testing::Test {
 protected:
  void SetUp() override {
    // The first 16 MiB of the sample disk (its table and most of its first volume),
    // with 100 bytes more so that its last sector is a partial one.
    runOrThrow("bash " + shellQuote(VANTOR_SOURCE_DIR "/scripts/make-sample-disk.sh") + " " + dir.file("sample.img") +
               " >/dev/null && head -c 16M " + dir.file("sample.img") + " > " + disk() +
               " && head -c 100 /dev/urandom >> " + disk());
    sample = readFile(dir.file("sample.img"));
    const std::string bytes = readFile(disk());
    image.assign(bytes.begin(), bytes.end());
    image.resize((image.size() + 511) / 512 * 512);  // as written: the last sector padded with zeros
  }
  std::string disk() const { return dir.file("disk.img"); }
  // Writes `path` verified onto every target at once, through readers of one group, and
  // waits until each has finished.
  static std::vector<std::shared_ptr<vantor::CompressedSource>> writeOntoAll(
      const std::string& path, const std::vector<std::unique_ptr<FakeTarget>>& targets) {
    auto readers = vantor::CompressedSource::readersOf(path, targets.size());
    for (std::size_t i = 0; i < targets.size(); ++i) {
      EXPECT_TRUE(targets[i]->imager.startWritingCompressed(readers[i], false, true, nullptr));
    }
    for (const auto& t : targets) {
      t->imager.join();
      EXPECT_EQ(t->last(), "finished");
    }
    return readers;
  }
  // Makes `name` from the sample disk with `command` (the disk's path follows it).
  std::string make(const std::string& name, const std::string& command) {
    runOrThrow("cd " + shellQuote(dir.path()) + " && " + command + " > " + name);
    return dir.file(name);
  }
  TempDir dir;
  std::string sample;  // the whole sample disk
  std::vector<u8> image;
};

// The variants of the kinds (xz in blocks, zstd without its size, zip64) and gzip: each
// written verified onto three drives at once, compared, verified again and a change found.
// Every kind's plain stream, and its name: tools/cli_smoke.sh.
TEST_F(CompressedSource, EveryKindIsWrittenVerifiedOntoThreeDrivesAtOnceAndAGptsBackupMovesToTheEnd) {
  runOrThrow("cd " + shellQuote(dir.path()) + " && zip -q -fz -1 zip64.zip disk.img");
  const std::vector<std::pair<std::string, std::string>> sources = {
      {"gzip", make("disk.img.gz", "gzip -1 -c disk.img")},
      {"xz", make("blocks.img.xz", "xz -0 -T2 --block-size=1MiB -c disk.img")},
      {"zstd", make("piped.img.zst", "cat disk.img | zstd -q -1 -c")},  // no content size in the frame
      {"zip", dir.file("zip64.zip")},  // sizes in the zip64 field, 0xFFFFFFFF in the entry's own
  };
  const u32 sectors = static_cast<u32>(image.size() / 512);
  for (const auto& [kind, path] : sources) {
    SCOPED_TRACE(path);
    EXPECT_EQ(DiskImager::compressionOf(path), kind);
    std::vector<std::unique_ptr<FakeTarget>> targets;
    for (int i = 0; i < 3; ++i) {
      targets.push_back(std::make_unique<FakeTarget>(sectors + 4096));
      if (i == 1) targets.back()->imager.setTransferMode(DiskImager::TRANSFER_STREAMING);
    }
    writeOntoAll(path, targets);  // one decompression for the three
    for (auto& t : targets) {
      EXPECT_EQ(t->disk->read(0, image.size()), image);
      EXPECT_EQ(t->disk->byteAt(u64(sectors) * 512), 0) << "nothing past the stream is written";
    }
    const auto verify = [&](DiskImager& i) { return i.startVerifyingCompressed(path, true); };
    EXPECT_EQ(targets[0]->run(verify), "finished");
    targets[0]->disk->fill(8u * 1024 * 1024, 0x5A, 1);
    EXPECT_EQ(targets[0]->run(verify),
              "error 5 Data mismatch during verification of sector chunk starting at LBA 00004000h");
  }
  EXPECT_STREQ(DiskImager::compressionOf(disk()), "");

  // A GPT disk image smaller than the drive: once written, its backup table lies at the
  // drive's end, as after any restore.
  const std::string gpt = dir.file("gpt.img");
  runOrThrow("truncate -s 8M " + gpt + " && sgdisk -o -n 1:2048:+4M -t 1:0700 " + gpt + " >/dev/null");
  const std::string path = make("gpt.img.zst", "zstd -q -c gpt.img");
  FakeTarget target(32768);
  EXPECT_EQ(target.run([&](DiskImager& i) { return i.startWritingCompressed(path, true, true, nullptr); }), "finished");
  const boost::optional<GptLayout> layout = soundGptOf(*target.disk);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->alternateSector, 32767u);
  const std::vector<u8> written = target.disk->image();
  writeFile(dir.file("written.img"), std::string(written.begin(), written.end()));
  EXPECT_NE(capture("sgdisk -v " + shellQuote(dir.file("written.img"))).find("No problems found"), std::string::npos);
}

// A compressed image of our own onto three drives at once: the readers share one opening
// of it, so each of its compressed frames is decompressed once for the three.
TEST_F(CompressedSource, AnImageOfOurOwnIsDecompressedOnceForThreeDrives) {
  const u32 sectors = static_cast<u32>(sample.size() / 512);
  FakeTarget source(sectors), plain(sectors);
  source.disk->put(0, sample.data(), sample.size());
  source.imager.setImageCompression(3);
  const std::string path = dir.file("own.vqi");
  ASSERT_EQ(source.capture(path), "finished");
  ASSERT_EQ(plain.restore(path), "finished");
  const std::string bytes = readFile(path);
  const u8* file = reinterpret_cast<const u8*>(bytes.data());
  SeekTable table;
  std::string why;
  ASSERT_TRUE(parseSeekTable(file, bytes.size(), table, why)) << why;
  u64 compressedFrames = 0, at = 0;
  for (const SeekTableEntry& e : table.frames) {
    compressedFrames += !isStoredFrame(file + at, e.compressedSize, e.decompressedSize);
    at += e.compressedSize;
  }
  std::vector<std::unique_ptr<FakeTarget>> targets;
  for (int i = 0; i < 3; ++i) targets.push_back(std::make_unique<FakeTarget>(sectors));
  const auto readers = writeOntoAll(path, targets);
  for (auto& t : targets) EXPECT_TRUE(t->disk->image() == plain.disk->image());
  EXPECT_EQ(readers[0]->group().image()->framesDecompressed(), compressedFrames);
  const auto again = vantor::CompressedSource::readersOf(path, 2);
  for (std::size_t i = 0; i < again.size(); ++i) {
    EXPECT_EQ(targets[i]->run([&](DiskImager& d) { return d.startVerifyingCompressed(again[i], true); }), "finished");
  }
}

// A real block device as the target, written and read back without the system's cache
// (so every request must be aligned, the stream's partial last sector too): each stream
// restored verified in streams, then the device's bytes compared with the disk.
TEST_F(CompressedSource, ALoopDeviceIsWrittenAlignedAndVerified) {
  std::string why;
  std::filesystem::create_directory(dir.file("drive"));
  auto loop = LoopDevice::create(dir.file("drive"), {24ull << 20, 512, ""}, why);
  if (!loop) GTEST_SKIP() << why;
  for (const std::string& path : {make("disk.img.gz", "gzip -1 -c disk.img"),
                                  make("blocks.img.xz", "xz -0 -T2 --block-size=1MiB -c disk.img")}) {
    SCOPED_TRACE(path);
    EXPECT_EQ("finished", runImaging(DiskFactory::getDiskDevice(loop->path()), [&](DiskImager& i) {
                i.setTransferMode(DiskImager::TRANSFER_STREAMING);
                return i.startWritingCompressed(path, true, true, nullptr);
              }));
    runOrThrow("dd if=" + loop->path() + " of=" + dir.file("written") + " bs=1M iflag=direct status=none");
    const std::string written = readFile(dir.file("written"));
    EXPECT_TRUE(written.compare(0, image.size(), std::string(image.begin(), image.end())) == 0);
    runOrThrow("dd if=/dev/zero of=" + loop->path() + " bs=1M count=20 oflag=direct status=none");
  }
}

// Three drives from one decompression of the whole 64 MiB sample (twice the 32 MiB the
// readers may drift apart): one drive fails a quarter of the way in, one reader is never
// used, and the third drive is still written whole; its reader, once used, serves no
// other operation.
TEST_F(CompressedSource, AFailedOrUnusedReaderDoesNotHoldTheOthersBack) {
  const std::string path = make("sample.img.gz", "gzip -1 -c sample.img");
  const u32 sectors = static_cast<u32>(sample.size() / 512);
  auto readers = vantor::CompressedSource::readersOf(path, 3);
  FakeTarget failing(sectors), whole(sectors);
  failing.disk->gate = [](FakeDisk::Op op, u32 sector, u32) { return !(op == FakeDisk::Op::Write && sector >= 0x8000); };
  readers[2].reset();
  ASSERT_TRUE(failing.imager.startWritingCompressed(readers[0], false, false, nullptr));
  ASSERT_TRUE(whole.imager.startWritingCompressed(readers[1], false, true, nullptr));
  failing.imager.join();
  whole.imager.join();
  EXPECT_EQ(failing.last().substr(0, 45), "error 4 Error writing sector chunk starting a");
  EXPECT_EQ(whole.last(), "finished");
  EXPECT_EQ(whole.disk->read(0, sample.size()), std::vector<u8>(sample.begin(), sample.end()));
  EXPECT_THROW(whole.imager.startVerifyingCompressed(readers[1], true), VantorException);

  // A reader held but never used holds the other back 32 MiB in, until its operation is
  // aborted.
  const auto pair = vantor::CompressedSource::readersOf(path, 2);
  FakeTarget stalled(sectors);
  ASSERT_TRUE(stalled.imager.startWritingCompressed(pair[0], false, false, nullptr));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stalled.imager.abort();
  stalled.imager.join();
  EXPECT_EQ(stalled.last(), "aborted");
}

// Damage in the middle of a stream (of every other kind: tools/cli_smoke.sh), a stream
// cut short, and streams larger than the drive end the restore with an error and sector 0
// as it was; what can be refused before the drive is touched is.
TEST_F(CompressedSource, DamageAndStreamsTooLargeEndTheRestoreWithSectorZeroAsItWas) {
  const u32 sectors = static_cast<u32>(image.size() / 512);
  const auto damaged = [&](const std::string& name, const std::string& command, u64 at) {
    const std::string path = make(name, command);
    runOrThrow("printf '\\125\\252' | dd of=" + shellQuote(path) + " bs=1 seek=" + std::to_string(at) +
               " conv=notrunc status=none");
    return path;
  };
  runOrThrow("cd " + shellQuote(dir.path()) + " && cp disk.img other.img && zip -q -1 two.zip disk.img other.img" +
             " && mkdir empty && zip -q -r none.zip empty && zip -q -P secret locked.zip disk.img" +
             " && zip -q -Z bzip2 bzip2.zip disk.img");
  // {the stream, the start of the last notification, whether any sector was written before the failure}
  const std::tuple<std::string, std::string, bool> cases[] = {
      {damaged("bad.gz", "gzip -1 -c disk.img", 1000000), "error 11 The gzip-compressed image", true},
      {make("cut.xz", "xz -0 -c disk.img | head -c 1000000"), "error 11 The xz-compressed image", true},
      {make("cut.gz", "gzip -1 -c disk.img | head -c 1000000"), "error 11 The gzip-compressed image", true},
      {dir.file("two.zip"), "error 11 \"" + dir.file("two.zip") + "\": the zip archive holds 2 files", false},
      {dir.file("none.zip"), "error 11 \"" + dir.file("none.zip") + "\": the zip archive holds no file", false},
      {dir.file("locked.zip"), "error 11 \"" + dir.file("locked.zip") + "\": the zip archive's file is encrypted",
       false},
      {dir.file("bzip2.zip"),
       "error 11 \"" + dir.file("bzip2.zip") + "\": the zip archive's file is compressed with method 12", false},
      {damaged("header.xz", "xz -0 -c disk.img", 7), "error 11 The xz-compressed image", false},
  };
  for (const auto& [path, error, touched] : cases) {
    SCOPED_TRACE(path);
    FakeTarget target(sectors + 4096);
    const std::string outcome =
        target.run([&stream = path](DiskImager& i) { return i.startWritingCompressed(stream, true, false, nullptr); });
    EXPECT_EQ(outcome.substr(0, error.size()), error) << outcome;
    EXPECT_NE(outcome.find(touched ? "is damaged after" : ""), std::string::npos) << outcome;
    EXPECT_EQ(target.disk->read(0, 512), std::vector<u8>(512, 0xEE));
    EXPECT_EQ(!target.disk->calls().empty(), touched);
  }

  // Too large for the drive: a size the file states (xz) is refused before anything is
  // written; a gzip stream is stopped at the drive's end. Sector 0 stays as it was.
  const std::string stated = make("disk.img.xz", "xz -0 -c disk.img"), gz = make("disk.img.gz", "gzip -1 -c disk.img");
  FakeTarget small(sectors / 2);
  EXPECT_THROW(small.imager.checkCompressedSource(stated, true), VantorException);
  EXPECT_THROW(small.imager.startWritingCompressed(stated, true, false, nullptr), VantorException);
  EXPECT_TRUE(small.disk->calls().empty());
  EXPECT_EQ(small.imager.checkCompressedSource(gz, true), 0u);
  const auto write = [&](DiskImager& i) { return i.startWritingCompressed(gz, true, true, nullptr); };
  EXPECT_EQ(small.run(write).substr(0, 61), "error 7 The disk image goes on past the drive's last sector (");
  EXPECT_EQ(small.disk->byteAt(0), 0xEE);

  // A captured image, compressed, is not a disk: it is refused, and says what to do.
  FakeTarget source(static_cast<u32>(sample.size() / 512));
  source.disk->put(0, sample.data(), sample.size());
  ASSERT_EQ(source.capture(dir.file("captured.img")), "finished");
  const std::string captured = make("captured.img.zst", "zstd -q -c captured.img");
  FakeTarget target(static_cast<u32>(sample.size() / 512));
  const std::string refusal = target.run([&](DiskImager& i) { return i.checkCompressedSource(captured, true), false; });
  EXPECT_NE(refusal.find("holds a captured image without the seek table"), std::string::npos) << refusal;
}

}  // namespace
