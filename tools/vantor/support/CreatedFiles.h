// tools/vantor/support/CreatedFiles.h
// The disk files a command made for its targets (Target::created()): removed again when
// the command ends, unless it called keep() once it got as far as writing them, so that
// a refused or failed command leaves no new file behind. Main thread.
#pragma once
#include <string>
#include <vector>

#include <libVantor/PathFacts.h>

#include "Target.h"

namespace vantor::cli {

class CreatedFiles {
 public:
  CreatedFiles() = default;
  CreatedFiles(const CreatedFiles&) = delete;
  CreatedFiles& operator=(const CreatedFiles&) = delete;
  ~CreatedFiles() {
    if (keep_) return;
    for (const std::string& path : paths_) PathFacts::remove(path);
  }

  void add(const Target& target) {
    if (target.created()) paths_.push_back(target.path());
  }
  void keep() { keep_ = true; }

 private:
  std::vector<std::string> paths_;
  bool keep_ = false;
};

}  // namespace vantor::cli
