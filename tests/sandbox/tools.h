// Stand-in platform tools: small shell scripts put where the service looks
// for the gateway's tools (a directory first on PATH, or an absolute path
// such as /etc/init.d/nxp). Each appends its command line to one log, which
// the test reads to check the exact command lines the service ran, and then
// runs the body the test gave it.
#pragma once

#include <string>
#include <vector>

namespace sandbox {

// Directory of the stand-in tools; made first on PATH by setUpTools().
std::string toolDir();
// The log every stand-in appends "<name> <args...>" lines to.
std::string toolLogPath();

// Creates the tool directory, puts it first on PATH (for this process and
// the children it starts) and links the BusyBox applets named, so the
// gateway's BusyBox flavour of ifconfig, pidof and the like is used.
void setUpTools(const std::vector<std::string> &busyboxApplets = {});

// Installs a stand-in under its name in the tool directory, or at the given
// absolute path. The script logs "$name $*" and then runs `body` (sh).
void installTool(const std::string &nameOrPath, const std::string &body = "exit 0");

// The logged command lines, one per call, in order.
std::vector<std::string> toolCalls();
// The same from a tool log elsewhere, such as a gwsim instance's.
std::vector<std::string> toolCallsIn(const std::string &logPath);
void clearToolCalls();

} // namespace sandbox
