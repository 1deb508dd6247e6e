// tools/vantor/support/LogOutput.h
// Where the library's log records go in the host: standard error, as
// "vantor: [logger] text". At verbosity 0 only warnings show (errors come back as
// exceptions and are reported once, from those); 1 adds the error records, 2 every
// trace record. A Mute silences every record while it lives, for a check that is
// repeated right after, so that its warning is not printed twice. A record whose number
// (the digits it begins with: "473 ...") the host has claimed with sayItself() is left out
// at verbosity 0, where the host prints its own sentence instead; -v shows it as it is.
// Thread-safe.
#pragma once
#include <string>

namespace vantor::cli {

class LogOutput {
 public:
  static void install(int verbosity);
  // Leaves the records numbered `number` to the host's own words (see above).
  static void sayItself(const std::string& number);

  class Mute {
   public:
    Mute();
    ~Mute();
    Mute(const Mute&) = delete;
    Mute& operator=(const Mute&) = delete;
  };
};

}  // namespace vantor::cli
