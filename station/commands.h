// The subcommands of gwtest. Each adds itself to the command line and, when
// chosen, leaves its exit status in `status`.
#pragma once

#include <CLI/CLI.hpp>

namespace station::cli {

// Exit statuses, shared by every subcommand.
inline constexpr int kExitPass = 0;
inline constexpr int kExitFail = 1;
inline constexpr int kExitNoReply = 2;
inline constexpr int kExitConnection = 3;
inline constexpr int kExitUsage = 64;
inline constexpr int kExitSoftware = 70; // records or the page could not be written/served

void addCallCommands(CLI::App &app, int &status);   // call, plan, codes
void addRunCommand(CLI::App &app, int &status);     // run
void addReportCommand(CLI::App &app, int &status);  // report
void addForwardCommand(CLI::App &app, int &status); // forward (the line's database)
void addServeCommand(CLI::App &app, int &status);   // serve: the station page

} // namespace station::cli
