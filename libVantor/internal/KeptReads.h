// libVantor/internal/KeptReads.h
//
// The large reads a drive answered while its map was being made (a FAT, an allocation
// bitmap, a GPT entry array), kept so that the capture that follows copies those sectors
// instead of asking the drive for them a second time: the FAT of a slow key is read once,
// not twice. The image then holds the very bytes its map was made from.
//
// What it promises:
// - Only reads of at least 64 KiB are kept, and at most 32 MiB of them in all (later reads
//   past that are not kept), for as long as the capture lasts.
// - Nothing is kept for a drive that has a data filter of its own: the capture's chunks
//   would then pass no filter, and a filter must see every chunk.
// - A Watch puts a filter of its own on the drive while it lives and takes it off when it
//   goes, also when the mapping throws; the drive is left without a filter, as it was. A
//   copy of the drive made meanwhile gets a filter that keeps nothing.
// - copy() answers only for sectors that lie wholly inside one kept read.
// Use from one thread at a time: the mapping's, then the drive thread's.
#pragma once
#include <memory>
#include <vector>

#include <libVantor/IDisk.h>
#include <libVantor/internal/DiskBufferPointer.h>

namespace vantor {

class KeptReads final {
 public:
  class Watch final {
   public:
    Watch(IDisk& disk, KeptReads& kept);
    ~Watch();
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

   private:
    IDisk* disk_;  // null when the drive had a filter of its own
    const IDiskDataFilter* keeper_ = nullptr;
  };

  // Copies sectors [sector, sector + count) into `out` when one kept read holds them all.
  bool copy(u32 sector, u32 count, void* out) const;
  bool holds(u32 sector, u32 count) const { return find(sector, count) != nullptr; }

 private:
  struct Block {
    u32 first;
    u32 count;
    DiskBufferPointer bytes;
  };
  class Keeper;

  const Block* find(u32 sector, u32 count) const;
  void keep(u32 sector, const void* data, u32 count);

  u32 sectorSize_ = 0;
  std::size_t keptBytes_ = 0;
  std::vector<Block> blocks_;
};

}  // namespace vantor
