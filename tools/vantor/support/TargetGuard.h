// tools/vantor/support/TargetGuard.h
// Decides, before a command writes anything, which of its targets the user has to
// confirm and which flag may answer instead of the question.
//  - A block device is always asked about; --yes or --force answers for it.
//  - A target that holds something the host recognises as not meant to be lost is
//    asked about too, and only --force answers for it (with --yes alone the command is
//    refused): a captured image at its start (an image header with its signature), for
//    every writing command; for the commands that write zeros (zero, bootkey reset) a
//    disk file that holds a non-zero byte where the zeros would go; and for the commands
//    that replace a disk's content (restore, bootkey format) a disk file that holds any
//    non-zero byte at all (a file system, a table, anything a user may want back).
//  - Any other disk file is written without a question, unless the command was given a
//    choice that gives up a protection (addRisk): then every target is asked about, and
//    --yes or --force answers as for a block device.
// Everything is read when a target is added, before any write. Throws
// VantorException(ERR_ABORTED) for a refusal or an unconfirmed question. Main thread.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Confirmation.h"
#include "Target.h"

namespace vantor::cli {

class TargetGuard {
 public:
  // Byte spans as (first byte, byte count).
  using Spans = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

  TargetGuard(bool yes, bool force) : yes_(yes), force_(force) {}

  // A target the command writes with content of its own (an image, a table, a loader).
  void add(const Target& target);
  // A target the command fills with zeros over `zeroed`.
  void addZeroed(const Target& target, const Spans& zeroed);
  // A target whose whole content the command replaces (an image, a boot key).
  void addReplaced(const Target& target);
  // A choice that gives up a protection, completing the action ("ignoring ...").
  void addRisk(const std::string& what) { risks_.push_back(what); }
  // Asks, or refuses, as described above; `action` completes "This will ...".
  void require(const std::string& action) const;

 private:
  bool yes_;
  bool force_;
  std::vector<Confirmation::Item> items_;
  std::vector<std::string> risks_;

  // add(), then for a disk file that holds no image: what it holds in `spans`, if any.
  void addHolding(const Target& target, const Spans& spans, const std::string& what);
};

}  // namespace vantor::cli
