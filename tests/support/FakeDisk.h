// tests/support/FakeDisk.h
// An IDisk in memory, for tests that need a geometry, a sector size, a record of calls
// or a drive that refuses to dismount. In strict mode it also checks its callers: a
// request that reaches past the last sector fails the test itself, so a caller's
// off-by-one shows where it happens. Reads and writes past the end answer false.
#pragma once
#include <functional>
#include <memory>
#include <vector>

#include <boost/optional.hpp>
#include <libVantor/IDisk.h>

namespace vantor::test {

class FakeDisk final : public IDisk {
 public:
  enum class Op { Read, Write, Dismount, Mount };
  struct Call {
    Op op;
    u32 sector = 0;
    u32 count = 0;
    friend bool operator==(const Call& a, const Call& b) {
      return a.op == b.op && a.sector == b.sector && a.count == b.count;
    }
  };

  FakeDisk(u32 sectorSize, u32 sectorCount, boost::optional<DiskGeometry> geometry = boost::none);
  FakeDisk* clone() const override { return new FakeDisk(*this); }

  std::vector<u8>& bytes() { return *medium_; }
  const std::vector<Call>& calls() const { return calls_; }
  std::vector<Call> writes() const;
  void clearCalls() { calls_.clear(); }
  void setStrict(bool on) { strict_ = on; }
  void setDismountResult(bool ok) { dismountResult_ = ok; }
  void setMountResult(bool ok) { mountResult_ = ok; }
  void setMediaType(MediaType type) { mediaType_ = type; }
  void setMountPoints(std::vector<std::string> points) { mountPoints_ = std::move(points); }
  // Called before each transfer; answering false fails it.
  std::function<bool(Op, u32 sector, u32 count)> gate;

  u64 getSizeBytes() const override { return u64(sectorSize_) * sectorCount_; }
  u32 getSizeSectors() const override { return sectorCount_; }
  u32 getSectorSize() const override { return sectorSize_; }
  bool getDiskGeometry(DiskGeometry& g) const override;
  MediaType getMediaType() const override { return mediaType_; }
  void getMountPoints(vrk::Array<vrk::String>& points) const override;
  bool dismountDrive() override;
  bool mountDrive() override;

 protected:
  bool impReadSectors(u32 sector, void* buffer, u32 count) const override;
  bool impWriteSectors(u32 sector, const void* buffer, u32 count) override;

 private:
  bool inRange(u32 sector, u32 count) const;

  u32 sectorSize_;
  u32 sectorCount_;
  boost::optional<DiskGeometry> geometry_;
  std::shared_ptr<std::vector<u8>> medium_;  // shared with clones: the same medium
  mutable std::vector<Call> calls_;
  bool strict_ = true;
  bool dismountResult_ = true;
  bool mountResult_ = true;
  MediaType mediaType_ = MEDIA_UNKNOWN;
  std::vector<std::string> mountPoints_;
};

}  // namespace vantor::test
