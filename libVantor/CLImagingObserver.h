// libVantor/CLImagingObserver.h
// An observer that prints the course of an operation on the console: "Operation
// started", one "N%" line per new percentage, and a closing line with the time since
// started() ("Operation finished successfully (1.23 seconds)"), or the abort line, or
// "Error encountered, quitting" on the error stream. Nothing is logged or thrown.
// Called on the worker thread under the engine's lock; keeps no state but its stopwatch.
#pragma once
#include <libVantor/Export.h>
#include <libVantor/IDiskImagingObserver.h>
#include <vrk/Stopwatch.h>

namespace vantor {

class VANTOR_EXPORT CLImagingObserver final : public IDiskImagingObserver {
 public:
  CLImagingObserver() = default;
  CLImagingObserver(const CLImagingObserver& other) : IDiskImagingObserver(), timer(other.timer) {}
  CLImagingObserver& operator=(const CLImagingObserver& other) {
    timer = other.timer;
    return *this;
  }
  ~CLImagingObserver() override;

  void started() override;
  void progressUpdate(unsigned char percent) override;
  void abortedByUser() override;
  void finishedSuccessfully() override;
  void finishedWithError(VantorErrorCodes code, const vrk::String& message) override;

 private:
  vrk::Stopwatch timer;
};

}  // namespace vantor
