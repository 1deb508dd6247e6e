#include <libVantor/internal/KeptReads.h>

#include <cstring>

namespace vantor {
namespace {

constexpr std::size_t SMALLEST_KEPT = 64u << 10;
constexpr std::size_t MOST_KEPT = 32u << 20;

}  // namespace

// The filter a Watch installs.
class KeptReads::Keeper final : public IDiskDataFilter {
 public:
  explicit Keeper(KeptReads* kept) : kept_(kept) {}
  // A copy may outlive the capture: it keeps nothing.
  IDiskDataFilter* clone() const override { return new Keeper(nullptr); }
  bool filterReadData(u32 sector, void* buffer, u32 count) const override {
    if (kept_) kept_->keep(sector, buffer, count);
    return true;
  }

 private:
  KeptReads* kept_;
};

KeptReads::Watch::Watch(IDisk& disk, KeptReads& kept) : disk_(disk.getDataFilter() ? nullptr : &disk) {
  if (!disk_) return;
  kept.sectorSize_ = disk.getSectorSize();
  auto* keeper = new Keeper(&kept);
  keeper_ = keeper;
  disk.setDataFilter(keeper);
}

KeptReads::Watch::~Watch() {
  if (disk_ && disk_->getDataFilter() == keeper_) disk_->setDataFilter(nullptr);
}

void KeptReads::keep(u32 sector, const void* data, u32 count) {
  const std::size_t bytes = std::size_t(count) * sectorSize_;
  if (bytes < SMALLEST_KEPT || keptBytes_ + bytes > MOST_KEPT) return;
  DiskBufferPointer copy(bytes, DiskBufferPointer::OnFailure::Empty);
  if (!copy) return;  // kept or not, the capture reads the same bytes
  std::memcpy(copy.get(), data, bytes);
  keptBytes_ += bytes;
  blocks_.push_back(Block{sector, count, std::move(copy)});
}

const KeptReads::Block* KeptReads::find(u32 sector, u32 count) const {
  for (const Block& block : blocks_) {
    if (sector >= block.first && u64(sector) + count <= u64(block.first) + block.count) return &block;
  }
  return nullptr;
}

bool KeptReads::copy(u32 sector, u32 count, void* out) const {
  const Block* block = find(sector, count);
  if (!block) return false;
  std::memcpy(out, block->bytes.get() + std::size_t(sector - block->first) * sectorSize_,
              std::size_t(count) * sectorSize_);
  return true;
}

}  // namespace vantor
