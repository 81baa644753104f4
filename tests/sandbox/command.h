// Commands a test runs as a person would at a shell prompt (gwtest with its
// arguments, or any command line): what they print and how they end.
#pragma once

#include <string>
#include <vector>

namespace sandbox {

struct CommandRun {
    int status = -1;    // exit status; -1 when a signal ended it
    std::string out;    // standard output, and standard error when merged
    std::string err;    // standard error when kept apart
    double seconds = 0; // how long it ran
};

enum class Stderr { kMerged, kApart };

// Runs the command line with /bin/sh and waits for it to end.
CommandRun runCommand(const std::string &commandLine, Stderr stderrMode = Stderr::kMerged);

// Runs the station's gwtest with the arguments (shell words, quoted by the caller).
CommandRun runGwtest(const std::string &args, Stderr stderrMode = Stderr::kMerged);

// The names in a directory, sorted, without "." and ".."; none when it is missing.
std::vector<std::string> filesIn(const std::string &dir);

} // namespace sandbox
