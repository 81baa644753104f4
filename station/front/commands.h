// The subcommands of gwtest. Each adds itself to the command line and, when
// chosen, leaves its exit status in `status`.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"

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

// Options of run and serve alike. Each is false with a message in `error`.
// --model: "auto" or a model of the catalogue, in any case.
bool parseModelOption(const std::string &text, std::string &model, std::string &error);
// --only (or `option`): test names or codes, checked against the catalogue.
bool parseTestList(const std::vector<std::string> &names, const char *option, std::vector<uint16_t> &codes,
                   std::string &error);
// --skip: the same, except the model and the MAC, which every run asks for.
bool parseSkipList(const std::vector<std::string> &names, std::vector<uint16_t> &codes, std::string &error);
// The station's name when --station is not given: the host's name.
std::string defaultStationName();
// --profile FILE (or GWTEST_PROFILE): the line's profile into the run's
// options, with the station's version traced beside it. Every error of the
// file is added to `errors`; "" leaves the options without a profile.
bool loadProfileOption(const std::string &path, RunOptions &options, std::vector<std::string> &errors);
// The --profile option's help.
inline constexpr const char *kProfileHelp =
    "the line's profile (TOML): versions, MAC blocks and limits a good unit's replies must meet";

} // namespace station::cli
