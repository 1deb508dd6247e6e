// tools/vantor/LogOutput.h
// Where the library's log records go in the host: standard error, as
// "vantor: [logger] text". At verbosity 0 only warnings show (errors come back as
// exceptions and are reported once, from those); 1 adds the error records, 2 every
// trace record. A Mute silences every record while it lives, for a check that is
// repeated right after, so that its warning is not printed twice. Thread-safe.
#pragma once

namespace vantor::cli {

class LogOutput {
 public:
  static void install(int verbosity);

  class Mute {
   public:
    Mute();
    ~Mute();
    Mute(const Mute&) = delete;
    Mute& operator=(const Mute&) = delete;
  };
};

}  // namespace vantor::cli
