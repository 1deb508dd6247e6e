// tools/vantor/support/Confirmation.h
// The question asked before a command overwrites targets: each target's description,
// capacity and mount points, what it holds that would be lost, what is about to happen
// to it, and a prompt that only the typed word "yes" answers. A refusal (or end of
// input) throws VantorException(ERR_ABORTED) before anything was written. Which targets
// are asked about, and when a flag answers instead, TargetGuard decides. Reads standard
// input, writes standard error; use from the main thread.
#pragma once
#include <string>
#include <vector>

#include "Target.h"

namespace vantor::cli {

class Confirmation {
 public:
  struct Item {
    const Target* target;
    std::string holds;  // what writing would destroy ("a captured image"); "" for nothing known
  };

  // `action` completes "This will ..." ("overwrite every sector", "rewrite the MBR");
  // `flag` is the option that answers the question without asking (named when the
  // input ends unanswered).
  static void ask(const std::vector<Item>& items, const std::string& action, const std::string& flag);
};

}  // namespace vantor::cli
