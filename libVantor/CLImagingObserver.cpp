#include <libVantor/CLImagingObserver.h>

#include <vrk/Console.h>

namespace vantor {

CLImagingObserver::~CLImagingObserver() = default;

void CLImagingObserver::started() {
  timer.reset();
  vrk::cout << "Operation started\n";
}

void CLImagingObserver::progressUpdate(unsigned char percent) {
  vrk::cout << vrk::SprintfFormat("%u%%\n", static_cast<unsigned>(percent));
}

void CLImagingObserver::abortedByUser() { vrk::cout << "Operation aborted by user.\n"; }

void CLImagingObserver::finishedSuccessfully() {
  vrk::cout << vrk::SprintfFormat("Operation finished successfully (%1.2f seconds)\n", timer.getElapsed());
}

void CLImagingObserver::finishedWithError(VantorErrorCodes, const vrk::String&) {
  vrk::cerr << "Error encountered, quitting\n";
}

}  // namespace vantor
