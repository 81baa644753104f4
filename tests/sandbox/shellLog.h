// Records every command line the code under test hands to the shell with
// system() or popen() ("sh -c <command>"), byte for byte, in order: the
// command lines are the contract with the gateway's tools.
#pragma once

#include <string>
#include <vector>

namespace sandbox {

// Replaces /bin/sh in the sandbox (through an overlay) by a wrapper that
// logs the command of "sh -c <command>" and runs the real shell.
void recordShellCommands();

// The commands run through "sh -c" since recording started or was cleared.
std::vector<std::string> shellCommands();
void clearShellCommands();

} // namespace sandbox
