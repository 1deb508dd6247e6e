// vantor: the command-line host of the disk-tools library. It lists drives, captures
// and restores images, zeroes drives, edits MBR partition tables and prepares boot
// keys, on block devices and on disk files alike.
//
// Exit status: 0 success; 1 failure (one "vantor: ERR_NAME (N): message" line on
// standard error); 2 a command line that makes no sense; 130 interrupted (Ctrl-C).
#include <iostream>
#include <string>
#include <vector>

#include <libVantor/Vantor.h>

#include "Commands.h"
#include "ErrorReport.h"
#include "LogOutput.h"
#include "Terminal.h"
#include "UsageError.h"

int main(int argc, char** argv) {
  using namespace vantor::cli;
  // From here on every word and every path is UTF-8, whatever the system handed over.
  const std::vector<std::string> words = Terminal::arguments(argc, argv);
  std::vector<const char*> wordPointers;
  for (const std::string& word : words) wordPointers.push_back(word.c_str());
  const Terminal::Utf8Console console;
  CLI::App app{"vantor: capture, restore and zero drives and disk files; edit MBR partitions; prepare boot keys.\n"
               "A TARGET is a drive (a block device /dev/...; on Windows \\\\.\\PhysicalDriveN) or a disk file."};
  app.footer(
      "Questions and flags:\n"
      "  Before writing a block device, a command lists it and waits for the typed word \"yes\".\n"
      "  It asks the same about a target that holds a captured image, and (zero, bootkey reset) about a\n"
      "  disk file that holds data where the zeros would go. Other disk files are written unasked.\n"
      "  --yes    answers the question for block devices only; a target holding an image or data is\n"
      "           then refused.\n"
      "  --force  answers every question, and lets a command overwrite what it would otherwise refuse:\n"
      "           a captured image, a disk file's data, other data or a fuller backup in sector 2\n"
      "           (partitions backup), an existing image file (capture).\n"
      "  No flag writes a disk file that backs a loop device or that another run holds locked.");
  app.require_subcommand(1);
  // Options the subcommand does not know (-v after it) fall through to the program's.
  app.fallthrough();
  int verbosity = 0;
  app.add_flag("-v,--verbose", verbosity, "Show the library's log records (-vv: trace records too)");

  CommandAction action;
  addListCommand(app, action);
  addCaptureCommand(app, action);
  addRestoreCommand(app, action);
  addVerifyCommand(app, action);
#if VANTOR_HAS_FUSE
  addMountCommand(app, action);
#endif
  addInfoCommand(app, action);
  addZeroCommand(app, action);
  addPartitionsCommand(app, action);
  addBootKeyCommand(app, action);

  try {
    app.parse(static_cast<int>(wordPointers.size()), wordPointers.data());
  } catch (const CLI::ParseError& error) {
    // A word that names no command is left over, and the missing command is all CLI11
    // says about it: say that the word is unknown and which commands there are.
    const std::vector<std::string> extras = app.remaining();
    if (dynamic_cast<const CLI::RequiredError*>(&error) && !extras.empty() && !extras.front().empty() &&
        extras.front()[0] != '-') {
      std::cerr << "vantor: unknown command \"" << extras.front() << "\"; the commands are:";
      for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
        std::cerr << ' ' << command->get_name();
      }
      std::cerr << "\nRun with --help for more information." << std::endl;
      return 2;
    }
    return app.exit(error) == 0 ? 0 : 2;
  }
  LogOutput::install(verbosity);
  try {
    return action ? action() : 2;
  } catch (const UsageError& error) {
    std::cerr << "vantor: " << error.what() << "\nRun with --help for more information." << std::endl;
    return 2;
  } catch (const vantor::VantorException& error) {
    ErrorReport::print(error);
  } catch (const vrk::Exception& error) {  // a failed assertion in the libraries
    ErrorReport::print(vantor::ERR_GENERAL, error.getMessage().str());
  } catch (const std::exception& error) {
    ErrorReport::print(vantor::ERR_GENERAL, error.what());
  }
  return 1;
}
