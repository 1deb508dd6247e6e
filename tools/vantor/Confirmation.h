// tools/vantor/Confirmation.h
// The question asked before a command writes block devices: each device's description,
// capacity and mount points, what is about to happen to it, and a prompt that only the
// typed word "yes" answers. Disk files are never asked about; --yes skips the question.
// A refusal (or end of input) throws VantorException(ERR_ABORTED) before anything was
// written. Reads standard input, writes standard error; use from the main thread.
#pragma once
#include <string>
#include <vector>

#include "Target.h"

namespace vantor::cli {

class Confirmation {
 public:
  // `action` completes "This will ..." ("overwrite every sector", "rewrite the MBR").
  static void require(const std::vector<const Target*>& targets, const std::string& action, bool assumeYes);
};

}  // namespace vantor::cli
