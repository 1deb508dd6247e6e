// Compressed images: the sample disk (two FAT volumes with files) captured plainly and
// compressed, read back through ImageDisk sector by sector, restored verified and
// compared, and the ways such a file is damaged: refused before a drive is written, or
// ending the restore with an error that leaves sector 0 as it was.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <libVantor/DiskImager.h>
#include <libVantor/ImageDisk.h>
#include <libVantor/LittleEndian.h>
#include <libVantor/internal/CompressedImageFormat.h>
#include <libVantor/internal/ImageBytes.h>
#include <libVantor/internal/ImageCompressor.h>
#include "support/FakeDisk.h"
#include "support/Imaging.h"
#include "support/TempDir.h"

using namespace vantor;
using namespace vantor::test;

namespace {

// Restores and verifies cover every volume, as the host asks.
struct Drive : FakeTarget {
  explicit Drive(u32 sectors) : FakeTarget(sectors) { imager.setVolumeCoverage(DiskImager::COVER_EVERY_VOLUME); }
};

// The sample disk captured twice, once plainly and once compressed, each with its checksums.
class CompressedImage : public ::testing::Test {
 protected:
  void SetUp() override {
    runOrThrow("bash " + shellQuote(VANTOR_SOURCE_DIR "/scripts/make-sample-disk.sh") + " " + dir.file("sample.img") +
               " >/dev/null");
    // A file of 14 MiB on the FAT32 volume, so that the image spans several frames.
    runOrThrow("cd " + shellQuote(dir.path()) + " && head -c 14M /dev/urandom >big && MTOOLS_SKIP_CHECK=1 mcopy -i " +
               "sample.img@@26214400 big ::/BIG.BIN");
    const std::string sample = readFile(dir.file("sample.img"));
    sectors = static_cast<u32>(sample.size() / 512);
    source = std::make_unique<Drive>(sectors);
    source->disk->put(0, sample.data(), sample.size());
    source->imager.setImageChecksums(DiskImager::CHECKSUMS_ON);
    ASSERT_EQ(source->capture(plain()), "finished");
    source->imager.setImageCompression(3);
    ASSERT_EQ(source->capture(packed()), "finished");
  }
  std::string plain() const { return dir.file("plain.img"); }
  std::string packed() const { return dir.file("packed.img"); }
  // A copy of the compressed image with `change` made to its bytes.
  std::string damaged(const std::string& name, const std::function<void(std::string&)>& change) {
    std::string bytes = readFile(packed());
    change(bytes);
    writeFile(dir.file(name), bytes);
    return dir.file(name);
  }

  TempDir dir;
  u32 sectors = 0;
  std::unique_ptr<Drive> source;
};

TEST_F(CompressedImage, HoldsThePlainImageByteForByteAndReadsAsIt) {
  const std::string bytes = readFile(plain()), packedBytes = readFile(packed());
  EXPECT_LT(packedBytes.size(), bytes.size());  // the sample's files are random bytes: little to gain
  EXPECT_EQ(readFile(packed() + ".sums"), readFile(plain() + ".sums"));
  EXPECT_STREQ(DiskImager::compressionOf(packed()), "");
  EXPECT_TRUE(ImageDisk::holdsCompressedImage(packed()));
  EXPECT_FALSE(ImageDisk::holdsCompressedImage(plain()));
  EXPECT_THROW(source->imager.setImageCompression(20), VantorException);

  // Any zstd decoder reads it as the plain image.
  runOrThrow("zstd -dcq " + shellQuote(packed()) + " | cmp -s - " + shellQuote(plain()));

  const ImageBytes image(packed());
  ASSERT_TRUE(image.isCompressed());
  ASSERT_EQ(image.size(), bytes.size());
  std::string all(bytes.size(), '\0');
  image.read(0, all.data(), all.size());
  EXPECT_TRUE(all == bytes);

  // Every sector as the plain image gives it, from two threads at once.
  const ImageDisk a(plain()), b(packed());
  ASSERT_EQ(a.getSizeSectors(), b.getSizeSectors());
  EXPECT_EQ(b.getImageSize(), bytes.size());
  EXPECT_EQ(b.getFileSize(), packedBytes.size());
  const auto compare = [&](u32 from, u32 step, bool& same) {
    std::vector<u8> x(std::size_t(step) * 512), y(x.size());
    for (u32 s = from; s + step <= a.getSizeSectors(); s += 2 * step) {
      same = same && a.readSectors(s, x.data(), step) && b.readSectors(s, y.data(), step) && x == y;
    }
  };
  bool even = true, odd = true;
  std::thread other([&] { compare(0, 200, even); });
  compare(200, 200, odd);
  other.join();
  EXPECT_TRUE(even && odd);
}

// Noise goes into the file as stored blocks, as zstd itself would store it, each piece's
// in a frame of its own that is read where it lies and checked once read through; noise with
// sectors repeated in it, and records of noise and zeros, are compressed; a piece that
// holds a FAT beside a MiB of noise or more is split, its table compressed hard.
TEST(ImageCompressor, StoresNoiseAsItIsAndCompressesNoiseThatRepeats) {
  TempDir dir;
  std::string noise(compressed_image::FRAME_BYTES, '\0'), repeated = noise;
  std::mt19937 random(7);
  for (char& c : noise) c = static_cast<char>(random());
  for (std::size_t at = 0; at < repeated.size(); at += 64 << 10) repeated.replace(at, 64 << 10, noise, 0, 64 << 10);
  std::string records = noise;  // 16 bytes each: 8 of noise, a counter, 7 zeros
  for (std::size_t at = 0; at < records.size(); at += 16) {
    records.replace(at + 8, 8, std::string(1, char(at >> 4)) + std::string(7, '\0'));
  }
  std::string fat = noise, amid = noise;  // 1 MiB of chains (of 37 clusters), then noise; 2 MiB between noise
  for (u32 i = 0; i < (1u << 19); ++i) {
    if (i < (1u << 18)) writeLE32(reinterpret_cast<u8*>(&fat[4 * i]), i % 37 == 36 ? 0x0FFFFFFF : i + 1);
    writeLE32(reinterpret_cast<u8*>(&amid[(1u << 20) + 4 * i]), i % 37 == 36 ? 0x0FFFFFFF : i + 1);
  }
  std::string last = noise.substr(0, 300000);  // the image's end: less than a piece
  std::string file, plain;
  {
    ImageCompressor compressor(
        3, [&](const u8* bytes, std::size_t size) { file.append(reinterpret_cast<const char*>(bytes), size); });
    for (const std::string* piece : {&noise, &noise, &repeated, &records, &fat, &amid, &noise, &last}) {
      compressor.append(piece->data(), piece->size());
      plain += *piece;
    }
    compressor.finish();
  }
  SeekTable table;
  std::string why;
  ASSERT_TRUE(parseSeekTable(reinterpret_cast<const u8*>(file.data()), file.size(), table, why)) << why;
  ASSERT_EQ(table.frames.size(), 11u);
  const std::vector<std::pair<std::size_t, u32>> storedFrames = {
      {0, 4u << 20}, {1, 4u << 20}, {5, 3u << 20}, {6, 1u << 20}, {8, 1u << 20}, {9, 4u << 20}, {10, 300000}};
  for (const auto& [i, bytes] : storedFrames) {
    EXPECT_EQ(table.frames[i].decompressedSize, bytes) << i;
    EXPECT_EQ(table.frames[i].compressedSize, compressed_image::storedFrameSize(bytes)) << i;
  }
  EXPECT_LT(table.frames[2].compressedSize, repeated.size() / 16);
  EXPECT_LT(table.frames[3].compressedSize, records.size() * 3 / 4);
  EXPECT_EQ(table.frames[4].decompressedSize, 1u << 20);
  EXPECT_LT(table.frames[4].compressedSize, (1u << 20) / 3);  // zstd -3 leaves 64 % of it
  EXPECT_EQ(table.frames[7].decompressedSize, 2u << 20);
  EXPECT_LT(table.frames[7].compressedSize, (2u << 20) / 3);
  writeFile(dir.file("frames.img"), file);
  writeFile(dir.file("plain.img"), plain);
  runOrThrow("zstd -dcq " + shellQuote(dir.file("frames.img")) + " | cmp -s - " + shellQuote(dir.file("plain.img")));
  std::string back(plain.size(), '\0');
  ImageBytes(dir.file("frames.img")).read(0, back.data(), back.size());  // every checksum held
  EXPECT_TRUE(back == plain);

  // A byte changed in the second piece's stored frame goes unseen by a read of a few
  // sectors, as in a plain image, and fails a read that goes through the frame.
  file[file.size() / 4] ^= 1;
  writeFile(dir.file("frames.img"), file);
  const ImageBytes changed(dir.file("frames.img"));
  EXPECT_NO_THROW(changed.read(noise.size(), back.data(), 4096));
  try {
    for (std::size_t at = 0; at < 2 * noise.size(); at += 1 << 20) changed.read(at, back.data(), 1 << 20);
    ADD_FAILURE() << "read through a changed frame";
  } catch (const VantorException& e) {
    EXPECT_EQ(e.getErrorCode(), ERR_INVALID_IMAGE_FILE);
    EXPECT_NE(e.getMessage().str().find("frame 2 of 11 does not match its checksum"), std::string::npos)
        << e.getMessage().str();
  }
  EXPECT_THROW(changed.read(noise.size(), back.data(), 4096), VantorException);  // from then on

  // What the output throws (a full disk) comes out of append() or finish(), and nothing
  // is written after it.
  std::size_t calls = 0;
  ImageCompressor failing(3, [&](const u8*, std::size_t) {
    if (++calls == 2) throw VantorException(ERR_FILE_ACCESS, "full");
  });
  EXPECT_THROW(
      {
        for (int i = 0; i < 8; ++i) failing.append(noise.data(), noise.size());
        failing.finish();
      },
      VantorException);
  EXPECT_EQ(calls, 2u);
}

TEST_F(CompressedImage, RestoresAndVerifiesAsThePlainImage) {
  Drive fromPlain(sectors), fromPacked(sectors), asSource(sectors);
  for (Drive* d : {&fromPlain, &fromPacked, &asSource}) d->imager.setImageChecksums(DiskImager::CHECKSUMS_ON);
  EXPECT_EQ(fromPlain.restore(plain()), "finished");
  EXPECT_EQ(fromPacked.restore(packed()), "finished");
  EXPECT_EQ(fromPacked.run([&](DiskImager& i) { return i.startVerifyingImage(packed(), true); }), "finished");
  // Where a compressed source would go, it is taken as the image it is.
  EXPECT_EQ(asSource.run([&](DiskImager& i) { return i.startWritingCompressed(packed(), true, true, nullptr); }),
            "finished");
  EXPECT_EQ(asSource.run([&](DiskImager& i) { return i.startVerifyingCompressed(packed(), true); }), "finished");
  EXPECT_TRUE(fromPacked.disk->image() == fromPlain.disk->image());
  EXPECT_TRUE(asSource.disk->image() == fromPlain.disk->image());
}

TEST_F(CompressedImage, DamageIsRefusedBeforeWritingOrEndsTheRestoreWithAnError) {
  const std::string bytes = readFile(packed());
  SeekTable table;
  std::string why;
  ASSERT_TRUE(parseSeekTable(reinterpret_cast<const u8*>(bytes.data()), bytes.size(), table, why)) << why;
  ASSERT_GE(table.frames.size(), 2u);
  const std::size_t entries = table.framesBytes + compressed_image::SKIPPABLE_HEADER_SIZE;
  const auto setLE32 = [](std::string& b, std::size_t at, u32 v) { writeLE32(reinterpret_cast<u8*>(&b[at]), v); };
  const auto entryAt = [&](std::size_t i) { return entries + i * compressed_image::ENTRY_SIZE; };
  // Refused by the start, or by the worker before it touched the drive.
  const auto refused = [](const std::string& outcome) { return outcome.rfind("error 11 Damaged image file", 0) == 0; };

  // Refused whole before anything is written: a cut file, a frame whose size disagrees
  // with the table, a table that lists another number of frames.
  const std::vector<std::string> unsound = {
      damaged("cut.img", [](std::string& b) { b.resize(b.size() - 100); }),
      damaged("sizes.img",
              [&](std::string& b) {
                setLE32(b, entryAt(0), table.frames[0].compressedSize + 1);
                setLE32(b, entryAt(1), table.frames[1].compressedSize - 1);
              }),
      damaged("count.img", [&](std::string& b) { setLE32(b, b.size() - compressed_image::FOOTER_SIZE, 1); }),
  };
  for (const std::string& path : unsound) {
    SCOPED_TRACE(path);
    Drive target(sectors);
    const std::string outcome =
        target.run([&](DiskImager& i) { return i.startWritingImage(path, true, false, false, nullptr); });
    EXPECT_TRUE(refused(outcome) || outcome.rfind("error 11 Cannot read/interpret", 0) == 0) << outcome;
    EXPECT_TRUE(target.disk->calls().empty());
    EXPECT_ANY_THROW({
      ImageBytes(path).checkEveryFrame();
      ImageDisk{path};  // a cut file has no seek table left: a foreign file then
    });
  }

  // A byte flipped inside the last stored frame, of the big file's noise: the restore (no
  // checksum file to hold it first) ends with an error naming the frame, sector 0 unwritten.
  const std::size_t frame = table.frames.size() - 1;
  u64 at = 0;
  for (std::size_t i = 0; i < frame; ++i) at += table.frames[i].compressedSize;
  ASSERT_TRUE(isStoredFrame(reinterpret_cast<const u8*>(&bytes[at]), table.frames[frame].compressedSize,
                            table.frames[frame].decompressedSize));
  const std::string flipped =
      damaged("flipped.img", [&](std::string& b) { b[at + table.frames[frame].compressedSize / 2] ^= 0x5A; });
  Drive target(sectors);
  const std::string outcome =
      target.run([&](DiskImager& i) { return i.startWritingImage(flipped, true, false, true, nullptr); });
  EXPECT_TRUE(refused(outcome)) << outcome;
  EXPECT_EQ(target.disk->byteAt(0), 0xEE);
}

}  // namespace
