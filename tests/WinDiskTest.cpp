// The handle-backed disk: handle ownership, transfers and the log records of failed
// transfers, on every system. (WinDiskLinuxTest makes a handle answer a geometry or lose
// its medium, which takes wrapping the system's calls.)
#include <gtest/gtest.h>

#include <cstring>

#include <libVantor/VantorException.h>
#include <libVantor/WinDisk.h>
#include <vrk/Log.h>

#include "support/SystemHandles.h"
#include "support/TempDir.h"

namespace vantor::test {
namespace {

struct LogCapture {
  LogCapture() {
    vrk::LogFactory::setSink([this](const vrk::String& logger, int priority, const vrk::String& text) {
      records.push_back(logger.str() + "/" + std::to_string(priority) + "/" + text.str());
    });
  }
  ~LogCapture() { vrk::LogFactory::setSink(nullptr); }
  std::vector<std::string> records;
};


TEST(WinDisk, DefaultDiskIsEmptyAndFailsEveryTransfer) {
  WinDisk disk;
  EXPECT_EQ(disk.getSizeBytes(), 0u);
  EXPECT_EQ(disk.getSizeSectors(), 0u);
  EXPECT_EQ(disk.getSectorSize(), 0u);
  EXPECT_FALSE(disk.isOpen());
  u8 sector[512];
  LogCapture log;
  EXPECT_FALSE(disk.readSectors(5, sector, 1));
  EXPECT_FALSE(disk.writeSectors(5, sector, 1));
  // A failed seek gives two records: the seek's own and the transfer's.
  const std::string error = std::to_string(systemError(Failure::NoHandle));
  const std::vector<std::string> expected = {
      "vantor.WinDisk/4/172 Error encountered while attempting to set file pointer : " + error,
      "vantor.WinDisk/4/76 Error setting file pointer on disk device. (sectorOffset:00000005h sectorCount:00000001h "
      "errorCode:" + error + ")",
      "vantor.WinDisk/4/172 Error encountered while attempting to set file pointer : " + error,
      "vantor.WinDisk/4/99 Error setting file pointer on disk device. (sectorOffset:00000005h sectorCount:00000001h "
      "errorCode:" + error + ")"};
  EXPECT_EQ(log.records, expected);
}

TEST(WinDisk, FailedTransfersAreLoggedWithTheSystemError) {
  TempDir dir;
  writeFile(dir.file("disk"), std::string(4096, 'x'));
  LogCapture log;
  {
    WinDisk readOnly(openHandle(dir.file("disk"), Access::ReadOnly), 512, 4096);
    u8 sector[512];
    EXPECT_FALSE(readOnly.writeSectors(0x10, sector, 2));
    WinDisk directory(openHandle(dir.path(), Access::Directory), 512, 4096);
    EXPECT_FALSE(directory.readSectors(0, sector, 1));
    EXPECT_FALSE(readOnly.readSectors(7, sector, 2)) << "runs past the end: short, no system error";
  }
  const std::vector<std::string> expected = {
      "vantor.WinDisk/4/106 Error writing to disk device. (sectorOffset:00000010h sectorCount:00000002h errorCode:" +
          std::to_string(systemError(Failure::WriteOnReadOnly)) + ")",
      "vantor.WinDisk/4/84 Error reading from disk device. (sectorOffset:00000000h sectorCount:00000001h errorCode:" +
          std::to_string(systemError(Failure::ReadOnDirectory)) + ")",
      "vantor.WinDisk/4/84 Error reading from disk device. (sectorOffset:00000007h sectorCount:00000002h "
      "errorCode:0)"};
  EXPECT_EQ(log.records, expected);
  vrk::LogFactory::setPriority(5);  // nothing is built or delivered below the threshold
  WinDisk none;
  u8 sector[512];
  EXPECT_FALSE(none.readSectors(0, sector, 1));
  vrk::LogFactory::setPriority(vrk::LOG_WARNING);
  EXPECT_EQ(log.records.size(), 3u);
}

// The system moves at most 0x7FFFF000 bytes a call; a request between that and 4 GiB
// is still one transfer, done whole. (Reads carry on the same way; a write to the null
// device never touches the buffer's pages, which keeps the test fast.)

TEST(WinDisk, TransfersAreWholeOrFail) {
  TempDir dir;
  std::string content(10 * 512, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  writeFile(dir.file("disk"), content);
  WinDisk disk(openHandle(dir.file("disk"), Access::ReadWrite), 512, content.size());
  EXPECT_TRUE(disk.isOpen());
  EXPECT_EQ(disk.getSizeSectors(), 10u);
  std::vector<u8> buffer(4 * 512);
  ASSERT_TRUE(disk.readSectors(3, buffer.data(), 4));
  EXPECT_EQ(std::memcmp(buffer.data(), content.data() + 3 * 512, buffer.size()), 0);
  EXPECT_FALSE(disk.readSectors(8, buffer.data(), 4)) << "a short read at the end of the file fails";
  EXPECT_TRUE(disk.readSectors(4, buffer.data(), 0)) << "zero sectors: a transfer of 0 bytes";
  // 4 GiB and more is refused before anything moves (the buffer is never touched).
  EXPECT_FALSE(disk.writeSectors(0, buffer.data(), (1u << 23) + 1));
  EXPECT_FALSE(disk.readSectors(0, buffer.data(), 1u << 23));
  EXPECT_TRUE(readFile(dir.file("disk")) == content);
  std::fill(buffer.begin(), buffer.end(), 0xC3);
  ASSERT_TRUE(disk.writeSectors(12, buffer.data(), 1));  // writing past the end extends the file
  EXPECT_EQ(readFile(dir.file("disk")).size(), 13u * 512);
  EXPECT_EQ(static_cast<u8>(readFile(dir.file("disk"))[12 * 512]), 0xC3);
}

TEST(WinDisk, EachDiskOwnsItsHandle) {
  TempDir dir;
  writeFile(dir.file("disk"), std::string(2048, 'q'));
  vrk::FileHandle h = openHandle(dir.file("disk"), Access::ReadWrite);
  u8 sector[512];
  auto source = std::make_unique<WinDisk>(h, 512, 2048);
  h.reset();  // the disk keeps a duplicate of its own
  std::unique_ptr<WinDisk> clone(source->clone());
  EXPECT_NE(clone->getHandle().get(), source->getHandle().get());
  source.reset();
  EXPECT_TRUE(clone->readSectors(1, sector, 1));
  std::unique_ptr<WinDisk> second(clone->clone());
  second.reset();
  EXPECT_TRUE(clone->readSectors(2, sector, 1));

  WinDisk moved(std::move(*clone));
  EXPECT_FALSE(clone->isOpen());
  EXPECT_TRUE(moved.readSectors(0, sector, 1));
  WinDisk assigned;
  assigned = moved;
  EXPECT_TRUE(assigned.isOpen());
  EXPECT_NE(assigned.getHandle().get(), moved.getHandle().get());
  assigned.setDiskParameters(assigned.getHandle(), 1024, 2048);  // its own handle stays
  EXPECT_TRUE(assigned.isOpen());
  EXPECT_EQ(assigned.getSizeSectors(), 2u);
}

}  // namespace
}  // namespace vantor::test
