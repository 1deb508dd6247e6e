// tools/vantor/support/WriteWitness.h
// Tells whether anything was sent to be written on a disk: installed as the disk's data
// filter (IDisk::setDataFilter takes it over), it lets every write pass and notes the
// first one in a flag that its maker keeps. Copies of the disk get copies of the
// filter that note into the same flag. The flag is atomic: the imaging engine writes
// from its worker thread while the main thread reads it.
#pragma once
#include <atomic>
#include <memory>

#include <libVantor/IDisk.h>

namespace vantor::cli {

class WriteWitness : public IDiskDataFilter {
 public:
  using Flag = std::shared_ptr<std::atomic<bool>>;

  // Installs a witness on `disk` (replacing any filter it had) and returns its flag.
  static Flag install(IDisk& disk) {
    Flag flag = std::make_shared<std::atomic<bool>>(false);
    disk.setDataFilter(new WriteWitness(flag));
    return flag;
  }

  IDiskDataFilter* clone() const override { return new WriteWitness(written_); }
  bool filterWriteData(u32, const void*, u32) override {
    written_->store(true);
    return true;
  }

 private:
  explicit WriteWitness(Flag flag) : written_(std::move(flag)) {}
  Flag written_;
};

}  // namespace vantor::cli
