// tools/vantor/commands/Commands.h
// The subcommands of the host. Each add* function declares one subcommand with its
// options on `app`; when the user chooses it, parsing sets `action` to the function that
// runs it, which answers the exit status (0 success, 1 failure, 130 interrupted) and
// lets VantorException and UsageError out for main() to report.
#pragma once
#include <functional>

#include <CLI/CLI.hpp>

namespace vantor::cli {

struct TargetOptions;

using CommandAction = std::function<int()>;

void addListCommand(CLI::App& app, CommandAction& action);
void addCaptureCommand(CLI::App& app, CommandAction& action);
void addRestoreCommand(CLI::App& app, CommandAction& action);
void addVerifyCommand(CLI::App& app, CommandAction& action);
#if VANTOR_HAS_FUSE
void addMountCommand(CLI::App& app, CommandAction& action);
#endif
void addInfoCommand(CLI::App& app, CommandAction& action);
void addZeroCommand(CLI::App& app, CommandAction& action);
void addPartitionsCommand(CLI::App& app, CommandAction& action);
void addBootKeyCommand(CLI::App& app, CommandAction& action);

// The options every command that opens a TARGET shares: --sector-size and, where the
// command may create a disk file, --size.
void addTargetOptions(CLI::App& command, TargetOptions& options, bool mayCreate);

}  // namespace vantor::cli
