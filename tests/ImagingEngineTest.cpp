// The imaging engine over a fake disk: the chunks and ranges zeroing writes, the start
// protocol, abort and notifications; what a capture writes and a restore puts back,
// through the ring between the worker and the drive thread, and their failure paths (the
// partial file removed, the drive left dismounted); compressed images, of the library's
// own (streams of other tools: CompressedSourceTest, and on both systems tools/cli_smoke.sh).
// The image files a restore refuses, in all their variety, are the image fuzz target's business.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>

#include <libVantor/DiskImager.h>
#include <libVantor/ImageChecksums.h>
#include <libVantor/WinDiskFile.h>
#include <libVantor/internal/ImageFormat.h>
#include <vrk/Files.h>

#include "support/FakeDisk.h"
#include "support/Imaging.h"
#include "support/TempDir.h"

namespace vantor::test {
namespace {

using Op = FakeDisk::Op;
using Ranges = std::vector<std::pair<u64, u64>>;
using Calls = std::vector<FakeDisk::Call>;

Calls writes(std::initializer_list<std::pair<u32, u32>> runs) {
  Calls out;
  for (const auto& r : runs) out.push_back({Op::Write, r.first, r.second});
  return out;
}

// The transfers of `op` that cover `sectors` sectors from `first`, in chunks of 256.
Calls chunksOf(Op op, u32 first, u32 sectors) {
  Calls out;
  for (u32 s = first; s < first + sectors; s += 256) out.push_back({op, s, std::min(256u, first + sectors - s)});
  return out;
}

TEST(Zeroing, WritesTheRangesInChunksAndChecksEachRangeBeforeWritingIt) {
  const std::string wide = "error 1 This library can only work with sector offsets that are 32-bit numbers.";
  struct Case {
    u32 sectors;
    boost::optional<Ranges> ranges;
    Calls writes;
    std::vector<int> progress;
    std::string last;
  };
  const Case cases[] = {
      {1000, boost::none, writes({{0, 256}, {256, 256}, {512, 256}, {768, 232}}), {25, 51}, "finished"},
      {4096, Ranges{{0, 1023}, {1024, 0}, {2048, 3071}},  // an inverted pair counts as nothing
       writes({{0, 256}, {256, 256}, {512, 256}, {768, 256}, {2048, 256}, {2304, 256}, {2560, 256}, {2816, 256}}),
       {12, 25, 50, 62, 75}, "finished"},
      {1000, Ranges{{999, 999}, {0, 1}}, writes({{999, 1}, {0, 2}}), {}, "finished"},  // in the order given
      {0, boost::none, {}, {}, "finished"},
      {1000, Ranges{{0, 1ull << 32}}, {}, {}, wide},
      // One past the end: refused when its range comes, after the ones before it.
      {1000, Ranges{{0, 0}, {1, 1}, {0, 1000}}, writes({{0, 1}, {1, 1}}), {}, "error 1 LBA range beyond end of drive."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    FakeTarget rig(c.sectors);
    EXPECT_EQ(rig.zero(c.ranges), c.last);
    EXPECT_EQ(rig.disk->writes(), c.writes);
    EXPECT_EQ(rig.log->progress(), c.progress);
    EXPECT_EQ(rig.disk->calls().front().op, Op::Dismount);
    EXPECT_EQ(rig.disk->calls().back().op == Op::Mount, c.last == "finished") << "no remount after a failure";
  }
}

// One operation at a time; abort ends it at once with one notification, to late observers
// too, and leaves the drive dismounted; an engine destroyed mid-operation leaves its
// worker to finish, and to let go of the drive after the observers.
TEST(ImagingEngine, OneOperationAtATimeAbortAndDestructionMidOperation) {
  auto rig = std::make_unique<FakeTarget>(2000);
  const auto disk = rig->disk;
  const auto log = rig->log;
  Gate gate;
  disk->gate = [&gate](Op, u32, u32) { return gate.pass(); };
  ASSERT_TRUE(rig->imager.startZeroingDisk(false, boost::none));
  gate.waitUntilSomebodyWaits();
  EXPECT_FALSE(rig->imager.startZeroingDisk(false, Ranges{{0, 0}}));
  rig->imager.registerObserver(new RecordingObserver(log, "late"));
  rig->imager.abort();
  EXPECT_TRUE(rig->imager.done()) << "at once, before the worker has stopped";
  gate.open();
  rig->imager.join();
  EXPECT_EQ(log->snapshot(), (std::vector<std::string>{"started", "aborted", "late: aborted"}));
  EXPECT_NE(disk->calls().back().op, Op::Mount) << "an aborted wipe leaves the drive dismounted";
  EXPECT_LT(disk->writes().size(), 8u);

  Gate second;
  disk->gate = [&second](Op, u32, u32) { return second.pass(); };
  ASSERT_TRUE(rig->imager.startZeroingDisk(false, boost::none));
  second.waitUntilSomebodyWaits();
  rig.reset();
  second.open();
  for (int i = 0; i < 3000 && disk.use_count() > 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(disk.use_count(), 1);
  const auto events = log->snapshot();
  EXPECT_EQ(std::vector<std::string>(events.end() - 4, events.end()),
            (std::vector<std::string>{"finished", "late: finished", "deleted", "late: deleted"}));
}

// Aborts from the first progress report it hears.
struct Aborting : IDiskImagingObserver {
  explicit Aborting(DiskImager& imager) : imager(imager) {}
  void progressUpdate(unsigned char) override { imager.abort(); }
  DiskImager& imager;
};

// A failure ends the operation and is kept until the next one fails; every observer hears
// every notification, in the order registered, whatever another throws. An observer may
// abort from inside a notification, but not start another operation.
TEST(ImagingEngine, FailureIsKeptEveryObserverHearsItAndObserversMayAbortButNotStart) {
  struct Throwing : RecordingObserver {
    using RecordingObserver::RecordingObserver;
    void started() override { RecordingObserver::started(), throw std::runtime_error("started"); }
    void progressUpdate(unsigned char p) override { RecordingObserver::progressUpdate(p), throw 7; }
  };
  FakeTarget rig(600);
  rig.imager.registerObserver(new Throwing(rig.log, "a"));
  rig.imager.registerObserver(new RecordingObserver(rig.log, "b"));
  rig.disk->gate = [](Op op, u32 sector, u32) { return op != Op::Write || sector != 512; };
  const std::string error = "error 4 Failed to write sector block.";
  EXPECT_EQ(rig.zero(), "b: " + error);
  EXPECT_EQ(rig.log->snapshot(), (std::vector<std::string>{"started", "a: started", "b: started", "progress 42",
                                                           "a: progress 42", "b: progress 42", error, "a: " + error,
                                                           "b: " + error}));
  EXPECT_EQ(rig.disk->writes().size(), 3u);
  rig.disk->gate = nullptr;
  EXPECT_EQ(rig.zero(Ranges{{0, 0}}), "b: finished");
  EXPECT_THROW(rig.imager.throwIfError(), VantorException);
  rig.disk->gate = [](Op, u32, u32) -> bool { throw std::runtime_error("device exploded"); };
  EXPECT_EQ(rig.zero(), "b: error 1 device exploded") << "foreign exceptions end as general errors";

  struct Reentrant : Aborting {
    explicit Reentrant(FakeTarget& rig) : Aborting(rig.imager), rig(rig) {}
    void abortedByUser() override { rig.log->add(imager.startZeroingDisk(true, boost::none) ? "again" : "refused"); }
    FakeTarget& rig;
  };
  FakeTarget reentered(5000);
  reentered.imager.registerObserver(new Reentrant(reentered));
  EXPECT_EQ(reentered.zero(), "refused");
  EXPECT_EQ(reentered.disk->writes().size(), 2u) << "progress first comes after the second chunk";
}

// A disk whose map is sector 0 and the 2048 sectors after it.
std::shared_ptr<FakeDisk> sourceDisk() { return randomDisk(4096, 7); }

// Takes its time over each progress report, so that the drive thread runs ahead and the
// ring between them fills.
struct SlowObserver : IDiskImagingObserver {
  void progressUpdate(unsigned char) override { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }
};

// Capture, then restore with verify, under a slow drive or a slow observer, so that each
// side of the ring between the worker and the drive thread waits for the other: the file
// holds the used sectors in one run, and the target gets them back. (Two threads on the
// fake disk at once would race on its record of calls, which ThreadSanitizer reports.)
// Both ways the drive may go: chunk by chunk, and streaming ahead of the notifications.
TEST(ImageCapture, UsedSectorsRoundTripThroughAFileWithOneThreadOnTheDrive) {
  TempDir dir;
  const std::vector<int> progress{12, 24, 37, 49, 62, 74, 87, 99, 100};
  for (int run = 0; run < 4; ++run) {
    const bool slowDrive = run % 2, streaming = run / 2;
    SCOPED_TRACE(std::string(slowDrive ? "slow drive" : "slow observer") + (streaming ? ", streaming" : ""));
    FakeTarget capture(sourceDisk()), target(4096u);
    for (FakeTarget* rig : {&capture, &target}) {
      if (streaming) rig->imager.setTransferMode(DiskImager::TRANSFER_STREAMING);
      rig->disk->gate = [slowDrive](Op, u32, u32) {
        if (slowDrive) std::this_thread::sleep_for(std::chrono::microseconds(200));
        return true;
      };
      rig->imager.registerObserver(new SlowObserver);
    }
    EXPECT_EQ(capture.capture(dir.file("a.img")), "finished");
    EXPECT_EQ(capture.log->progress(), progress);
    const std::vector<u8> used = capture.disk->read(0, 2049 * 512);
    const std::string file = readFile(dir.file("a.img"));
    ASSERT_EQ(file.size(), 90u + 8 + used.size());
    EXPECT_EQ(file.substr(90, 8), std::string("\0\0\0\0\x01\x08\0\0", 8)) << "one run: sector 0, 2049 sectors";
    EXPECT_EQ(std::memcmp(used.data(), file.data() + 98, used.size()), 0);
    int called = 0;
    EXPECT_EQ(target.restore(dir.file("a.img"), [&](std::shared_ptr<IDisk> d) { called += d == target.disk; }),
              "finished");
    EXPECT_EQ(target.log->progress(), progress);
    EXPECT_EQ(called, 1);
    // Sector 0 goes last, after everything else of the image: its chunk is written alone
    // and without it; streaming, the other 8 chunks go in one request.
    Calls expected = writes({{1, 255}}), rest = streaming ? writes({{256, 1793}}) : chunksOf(Op::Write, 256, 1793);
    expected.insert(expected.end(), rest.begin(), rest.end());
    expected.push_back({Op::Write, 0, 1});
    EXPECT_EQ(target.disk->writes(), expected);
    EXPECT_EQ(target.disk->read(0, used.size()), used);
    EXPECT_EQ(target.disk->calls().front().op, Op::Dismount);
    EXPECT_EQ(target.disk->calls().back().op, Op::Mount);
  }
}

// By default an observer that aborts from the first progress report stops a capture
// before the drive's next read and a restore before its next write: the drive never
// runs ahead of the reports. An aborted or failed capture leaves no file.
TEST(ImagingEngine, AnAbortFromAProgressReportStopsTheDriveBeforeTheNextChunkAndCapturesLeaveNoFile) {
  TempDir dir;
  ASSERT_EQ(FakeTarget(sourceDisk()).capture(dir.file("a.img")), "finished");
  FakeTarget capture(sourceDisk()), restore(4096u);
  for (FakeTarget* rig : {&capture, &restore}) rig->imager.registerObserver(new Aborting(rig->imager));
  EXPECT_EQ(capture.capture(dir.file("b.img")), "aborted");
  EXPECT_EQ(capture.disk->calls(), (Calls{{Op::Read, 0, 1}, {Op::Read, 0, 256}})) << "the map, then one chunk";
  EXPECT_FALSE(vrk::FileSystem::exists(dir.file("b.img")));
  EXPECT_EQ(restore.restore(dir.file("a.img")), "aborted");
  // Sector 0 is written last: a restore aborted before its end leaves the old table.
  EXPECT_EQ(restore.disk->calls(), (Calls{{Op::Dismount}, {Op::Write, 1, 255}, {Op::Read, 1, 255}}));
  EXPECT_EQ(restore.log->progress(), std::vector<int>{12});

  // A capture that fails leaves no file either; nothing but a regular file is written or
  // removed.
  const std::string image = dir.file("f.img");
  FakeTarget failing(sourceDisk());
  failing.disk->gate = [](Op op, u32 sector, u32) { return !(op == Op::Read && sector == 2048); };
  EXPECT_EQ(failing.capture(image), "error 4 Error reading sector chunk starting at LBA 00000800h");
  EXPECT_FALSE(vrk::FileSystem::exists(image));

  // A missing folder, a device, a pipe or a link to one is refused before anything is written.
  std::vector<std::string> refused = specialFiles(dir.path());
  refused.push_back(dir.file("missing-dir/a.img"));
  for (const std::string& path : refused) {
    EXPECT_EQ(FakeTarget(sourceDisk()).capture(path, true), "error 6 Problem accessing file \"" + path + "\"");
  }
  EXPECT_TRUE(specialFilesIntact(dir.path()));
}

// Off by default: no checksum file. With checksums a capture leaves the image and its
// checksum file and nothing else, and replaces an existing image when asked (refused
// unasked: the smoke's second capture, on both systems); a restore
// and a verify hold each chunk before they use it, so a damaged second chunk is named and
// never written. Then the ways a restore of the plain image fails, and a 2 TiB drive.
TEST(ImageRestore, ChecksumsHoldTheImageFailuresEndTheRestoreAndDrivesBeyond32BitSectorNumbersAreNeverCutShort) {
  TempDir dir;
  const std::string plain = dir.file("plain.img"), image = dir.file("a.img");  // sector 0 and the 2048 after it
  ASSERT_EQ(FakeTarget(sourceDisk()).capture(plain), "finished");
  EXPECT_FALSE(vrk::FileSystem::exists(plain + ".sums"));
  EXPECT_EQ(ImageChecksums::check(plain, true).verdict, ImageChecksums::Verdict::Missing);
  for (auto use : {DiskImager::CHECKSUMS_ON, DiskImager::CHECKSUMS_ON_REPLACING}) {
    FakeTarget capture(sourceDisk());
    capture.imager.setImageChecksums(use);
    EXPECT_EQ(capture.capture(image), "finished");
  }
  EXPECT_EQ(readFile(plain), readFile(image)) << "the same image, with or without checksums";
  EXPECT_EQ(ImageChecksums::check(image, true).verdict, ImageChecksums::Verdict::Intact);
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) files.insert(entry.path().filename().string());
  EXPECT_EQ(files, (std::set<std::string>{"a.img", "a.img.sums", "plain.img"}));

  std::string bytes = readFile(image);
  bytes[98 + 300 * 512] ^= 4;  // run 1, chunk 2
  writeFile(image, bytes);
  const std::string disagree =
      "error 11 " + ImageChecksums::message(image, {ImageChecksums::Verdict::Disagree, "run 1 chunk 2"});
  FakeTarget restore(4096u), verify(sourceDisk());
  restore.imager.setImageChecksums(DiskImager::CHECKSUMS_ON);
  verify.imager.setImageChecksums(DiskImager::CHECKSUMS_ON);
  EXPECT_EQ(restore.restore(image), disagree);
  EXPECT_EQ(restore.disk->writes(), writes({{1, 255}})) << "the first chunk only, less sector 0, which goes last";
  EXPECT_EQ(verify.run([&](DiskImager& i) { return i.startVerifyingImage(image, true); }), disagree);
  writeFile(image + ".sums", "");
  EXPECT_EQ(restore.restore(image),
            "error 11 the checksum file " + image + ".sums is unusable: it is empty or cannot be read");

  // Restoring the plain image: each failure ends the restore with its code, without the
  // callback, and a drive once dismounted stays so; used sectors past the end are refused
  // before the drive is touched. A drive of 2^32 sectors or more (2 TiB of 512-byte
  // sectors): capture and restore of the used sectors compare capacities in 64 bits, and
  // the whole-drive operations refuse before any transfer instead of covering the size
  // cut to 32 bits.
  // {name, drive sectors, the gate (none: every transfer works), the code, the writes done}
  using Rule = std::function<bool(FakeDisk&, Op, u32 sector)>;
  const auto changedOnReadBack = [](u32 sector) -> Rule {  // the sector's first byte, as it is read back
    return [=](FakeDisk& d, Op op, u32 s) { return op != Op::Read || s != sector || (d.flip(sector * 512), true); };
  };
  const std::tuple<const char*, u32, Rule, VantorErrorCodes, std::size_t> cases[] = {
      {"used sectors past the drive", 2048, nullptr, ERR_VOLUME_TOO_LARGE, 0},
      {"dismount refused", 4000, nullptr, ERR_DISMOUNT_FAILED, 0},
      {"write fails", 4000, [](FakeDisk&, Op op, u32 s) { return !(op == Op::Write && s == 512); }, ERR_DISK_ACCESS, 3},
      {"read-back differs", 4000, changedOnReadBack(1024), ERR_VERIFY_MISMATCH, 5},
      // Sector 0, written after all the rest, is read back last.
      {"sector 0 read-back differs", 4000, changedOnReadBack(0), ERR_VERIFY_MISMATCH, 10},
  };
  for (const auto& [name, sectors, gate, code, writesDone] : cases) {
    SCOPED_TRACE(name);
    FakeTarget rig(sectors);
    rig.disk->dismountResult = code != ERR_DISMOUNT_FAILED;
    if (gate) rig.disk->gate = [rule = gate, &rig](Op op, u32 s, u32) { return rule(*rig.disk, op, s); };
    bool called = false;
    EXPECT_THAT(rig.restore(plain, [&](std::shared_ptr<IDisk>) { called = true; }),
                testing::StartsWith("error " + std::to_string(code) + " "));
    EXPECT_EQ(rig.disk->writes().size(), writesDone);
    EXPECT_FALSE(called);
    EXPECT_TRUE(rig.disk->calls().empty() || rig.disk->calls().back().op != Op::Mount);
  }

  writeFile(dir.file("big"), "");
  setFileSize(dir.file("big"), (2ull << 40) + (1u << 20));
  const auto big = std::make_shared<WinDiskFile>(dir.file("big"), WinDiskFile::OpenExisting, 512, 0);
  EXPECT_EQ(FakeTarget(big).restore(plain), "finished");
  EXPECT_EQ(FakeTarget(big).capture(dir.file("dump"), true),
            "error 17 The whole drive cannot be captured: it holds 4294969344 sectors of 512 bytes, and sector "
            "numbers end at FFFFFFFFh (4294967296 sectors).");
  EXPECT_FALSE(vrk::FileSystem::exists(dir.file("dump")));
  EXPECT_EQ(FakeTarget(big).zero().substr(0, 56), "error 17 The whole drive cannot be zeroed: it holds 4294");
  EXPECT_EQ(FakeTarget(big).capture(dir.file("b.img")), "finished");
  EXPECT_EQ(readFile(dir.file("b.img")), readFile(plain)) << "restored whole, and nothing zeroed";
}

// An image of one run of `sectors` random sectors from sector `first`.
std::string runImage(TempDir& dir, u32 first, u32 sectors) {
  ImageHeader header;
  header.runCount = 1;
  header.totalSectors = sectors;
  header.sectorSize = 512;
  header.firstUsedSector = first;
  header.highestVolumeSector = u64(first) + sectors - 1;
  std::string bytes(image::HEADER_SIZE + image::RUN_HEADER_SIZE, '\0');
  encodeImageHeader(header, reinterpret_cast<u8*>(&bytes[0]));
  encodeRunHeader(first, sectors, reinterpret_cast<u8*>(&bytes[image::HEADER_SIZE]));
  std::mt19937 random(first);
  for (u64 i = 0; i < u64(sectors) * 512; ++i) bytes.push_back(static_cast<char>(random()));
  const std::string path = dir.file("run.img");
  writeFile(path, bytes);
  return path;
}

// Records every piece of data it sees, into a log its clones share.
struct RecordingFilter : IDiskDataFilter {
  explicit RecordingFilter(std::shared_ptr<Calls> seen) : seen(std::move(seen)) {}
  IDiskDataFilter* clone() const override { return new RecordingFilter(seen); }
  bool filterReadData(u32 sector, void*, u32 count) const override {
    return seen->push_back({Op::Read, sector, count}), true;
  }
  bool filterWriteData(u32 sector, const void*, u32 count) override {
    return seen->push_back({Op::Write, sector, count}), true;
  }
  std::shared_ptr<Calls> seen;
};

// A fake target that streams, its drive's data seen by a RecordingFilter into `seen`.
struct StreamingTarget : FakeTarget {
  explicit StreamingTarget(u32 sectors) : FakeTarget(sectors) {
    imager.setTransferMode(DiskImager::TRANSFER_STREAMING);
    disk->setDataFilter(new RecordingFilter(seen));
  }
  std::shared_ptr<Calls> seen = std::make_shared<Calls>();
};

// A raw source of 8192 random sectors whose MBR holds an empty table: mapped as sector 0
// and the 2048 after it, so the 6143 sectors past them are not taken, and a target of
// 4096 sectors (smaller than the source) receives it. Only the mapped sectors reach the
// target, in chunks, sector 0 last; failures name their chunk; verify compares the same
// sectors; a source nothing recognises is taken only whole.
TEST(RawSourceRestore, WritesOnlyTheMappedSectorsSectorZeroLastAndNamesTheChunkThatFails) {
  const auto makeSource = [](bool table) { return randomDisk(8192, 11, table, table); };
  const auto source = makeSource(true);
  FakeTarget rig(4096u);
  EXPECT_EQ(rig.run([&](DiskImager& i) { return i.startWritingDisk(source, true, true, nullptr); }), "finished");
  Calls chunks = chunksOf(Op::Write, 0, 2049), expected{{Op::Dismount}};
  chunks.front() = {Op::Write, 1, 255};  // the first chunk without sector 0, which goes last
  chunks.push_back({Op::Write, 0, 1});
  for (const auto& chunk : chunks) {
    expected.push_back(chunk);
    expected.push_back({Op::Read, chunk.sector, chunk.count});
  }
  expected.push_back({Op::Mount});
  EXPECT_EQ(rig.disk->calls(), expected) << "nothing past the map is written";
  EXPECT_EQ(rig.disk->read(0, 2049 * 512), source->read(0, 2049 * 512));
  const auto verify = [&](DiskImager& i) { return i.startVerifyingDisk(source, true); };
  EXPECT_EQ(rig.run(verify), "finished");
  rig.disk->flip(1500 * 512);
  EXPECT_EQ(rig.run(verify), "error 5 Data mismatch during verification of sector chunk starting at LBA 00000500h");

  // {name, the target's and the source's gates, whether an observer aborts, the last notification}
  using Rule = std::function<bool(Op, u32, u32)>;
  const std::tuple<const char*, Rule, Rule, bool, std::string> cases[] = {
      {"write fails", [](Op op, u32 s, u32) { return !(op == Op::Write && s == 512); }, nullptr, false,
       "error 4 Error writing sector chunk starting at LBA 00000200h"},
      {"source read fails", nullptr, [](Op op, u32 s, u32 n) { return !(op == Op::Read && s == 1024 && n > 1); }, false,
       "error 4 Error reading source sector chunk starting at LBA 00000400h"},
      {"aborted", nullptr, nullptr, true, "aborted"},
  };
  for (const auto& [name, targetGate, sourceGate, aborts, last] : cases) {
    SCOPED_TRACE(name);
    const auto from = makeSource(true);
    FakeTarget target(4096u);
    target.disk->gate = targetGate;
    from->gate = sourceGate;  // the map reads single sectors; the chunks are read whole
    if (aborts) target.imager.registerObserver(new Aborting(target.imager));
    EXPECT_EQ(target.run([&](DiskImager& i) { return i.startWritingDisk(from, true, false, nullptr); }), last);
    EXPECT_EQ(target.disk->read(0, 512), std::vector<u8>(512, 0xEE)) << "sector 0 is written only at the end";
    EXPECT_NE(target.disk->calls().back().op, Op::Mount);
  }

  // Refused before anything is written: a target that ends before a mapped sector, and a
  // source with neither a table nor a file system, unless every sector is taken.
  FakeTarget small(2000u), whole(8192u);
  EXPECT_THROW(small.imager.startWritingDisk(source, true, false, nullptr), VantorException);
  EXPECT_THROW(whole.imager.startWritingDisk(makeSource(false), true, false, nullptr), VantorException);
  EXPECT_TRUE(small.disk->calls().empty() && whole.disk->calls().empty());
  const auto unknown = makeSource(false);
  whole.imager.setSourceSectors(DiskImager::SOURCE_EVERY_SECTOR);
  EXPECT_EQ(whole.run([&](DiskImager& i) { return i.startWritingDisk(unknown, true, false, nullptr); }), "finished");
  EXPECT_EQ(whole.disk->image(), unknown->image());
}

// Streaming, a restore (with verify: a window of chunks written, then read back), a
// verify and a wipe reach the drive in requests of up to 4 MiB, while a data filter and
// the observers still see each 256-sector chunk, in order; a failure names its chunk.
TEST(StreamingTransfers, ReachTheDriveInLargeRequestsWhileFiltersAndObserversSeeChunksAndFailuresNameTheirChunk) {
  TempDir dir;
  const u32 first = 2048, chunks = 100, sectors = chunks * 256 - 7;  // the last chunk is short
  const std::string image = runImage(dir, first, sectors);
  const std::string data = readFile(image);
  std::vector<int> everyPercent(100);
  std::iota(everyPercent.begin(), everyPercent.end(), 1);
  for (const bool verify : {false, true}) {
    SCOPED_TRACE(verify ? "verify" : "no verify");
    StreamingTarget rig(40000u);
    EXPECT_EQ(rig.restore(image, nullptr, verify), "finished");
    const u32 requests = (chunks + 31) / 32;
    EXPECT_EQ(rig.disk->writes().size(), requests);
    EXPECT_EQ(rig.disk->count(Op::Read), verify ? requests : 0u);
    for (const auto& call : rig.disk->calls()) EXPECT_LE(call.count, 8192u);
    Calls expected;  // with verify, windows of 32 chunks: each written, then read back
    for (u32 w = 0; w < sectors; w += 32 * 256) {
      for (Op op : {Op::Write, Op::Read}) {
        const Calls part = chunksOf(op, first + w, std::min(32u * 256, sectors - w));
        if (op == Op::Write || verify) expected.insert(expected.end(), part.begin(), part.end());
      }
    }
    EXPECT_EQ(*rig.seen, expected);
    EXPECT_EQ(rig.log->progress(), everyPercent);
    EXPECT_EQ(rig.disk->read(u64(first) * 512, u64(sectors) * 512), std::vector<u8>(data.begin() + 98, data.end()));
    EXPECT_EQ(rig.run([&](DiskImager& i) { return i.startVerifyingImage(image, true); }), "finished");
  }
  StreamingTarget wipe(4000u);
  EXPECT_EQ(wipe.zero(), "finished");
  EXPECT_EQ(wipe.disk->writes(), writes({{0, 4000}}));
  EXPECT_EQ(*wipe.seen, chunksOf(Op::Write, 0, 4000));
  EXPECT_EQ(wipe.log->progress(), (std::vector<int>{6, 12, 19, 25, 32, 38, 44, 51, 57, 64, 70, 76, 83, 89}));

  // With verify, a chunk that reads back wrong in a later window, or fails to read back or
  // to be written, is named as chunk by chunk; the chunks before it are written and
  // reported, none after it is reported.
  const u32 bad = first + (32 + 5) * 256;  // window 1, chunk 5
  // {the transfer that meets the bad chunk, whether the chunk reads back changed (or the
  // transfer fails), the last notification}
  const std::tuple<Op, bool, std::string> cases[] = {
      {Op::Read, true, "error 5 Data mismatch during verification of sector chunk starting at LBA 00002D00h"},
      {Op::Read, false, "error 4 Error reading sector chunk starting at LBA 00002D00h"},
      {Op::Write, false, "error 4 Error writing sector chunk starting at LBA 00002D00h"},
  };
  for (const auto& [meets, corrupt, last] : cases) {
    SCOPED_TRACE(last);
    StreamingTarget rig(30000u);
    rig.disk->gate = [meets = meets, corrupt = corrupt, &rig, bad](Op op, u32 s, u32 n) {
      if (op != meets || s > bad || s + n <= bad) return true;
      if (corrupt) rig.disk->flip(u64(bad) * 512 + 3);
      return corrupt;
    };
    EXPECT_EQ(rig.restore(image), last);
    const std::vector<int> progress = rig.log->progress();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 37) << "every chunk before the bad one, and no more";
    EXPECT_NE(rig.disk->calls().back().op, Op::Mount);
  }
}

}  // namespace
}  // namespace vantor::test
