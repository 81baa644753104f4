#include "shellLog.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

#include "overlay.h"
#include "sandbox.h"

namespace sandbox {

namespace {

std::string logPath() { return scratchDir() + "/shell.log"; }

std::string realPath(const char *path)
{
    char resolved[PATH_MAX];
    return realpath(path, resolved) != nullptr ? std::string(resolved) : std::string();
}

} // namespace

void recordShellCommands()
{
    static bool installed = false;
    if (installed) {
        clearShellCommands();
        return;
    }
    // /bin may be a link to /usr/bin; the wrapper goes where /bin/sh really
    // is, and runs the shell /bin/sh really was.
    std::string shell = realPath("/bin/sh");
    const std::string binDir = realPath("/bin");
    if (shell.empty() || binDir.empty()) {
        ADD_FAILURE() << "sandbox: cannot find the real shell behind /bin/sh";
        return;
    }
    overlayDir(binDir);
    const std::string wrapper = binDir + "/sh";
    if (shell == wrapper) {
        // /bin/sh is the shell itself: keep it under another name.
        const std::string kept = binDir + "/sh.real";
        if (std::rename(wrapper.c_str(), kept.c_str()) != 0) {
            ADD_FAILURE() << "sandbox: cannot move the shell aside";
            return;
        }
        shell = kept;
    } else if (unlink(wrapper.c_str()) != 0) {
        ADD_FAILURE() << "sandbox: cannot replace " << wrapper;
        return;
    }
    writeFile(logPath(), "");
    // Each command ends in a NUL byte, so commands with line breaks stay
    // whole. A script run through its "#!/bin/sh" line is read in the
    // wrapper's own process rather than handed on with exec: exec would
    // rename the process after the shell, and BusyBox pidof finds a running
    // script by its process name.
    writeFile(wrapper,
              "#!" + shell + "\n"
              "case $1 in\n"
              "-c) printf '%s\\0' \"$2\" >> '" + logPath() + "'; exec " + shell + " \"$@\" ;;\n"
              "-*|'') exec " + shell + " \"$@\" ;;\n"
              "esac\n"
              "gwtest_script=$1\n"
              "shift\n"
              ". \"$gwtest_script\"\n",
              0755);
    installed = true;
}

std::vector<std::string> shellCommands()
{
    std::vector<std::string> commands;
    const std::string all = readFile(logPath());
    size_t start = 0;
    for (size_t end = all.find('\0'); end != std::string::npos; end = all.find('\0', start)) {
        commands.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return commands;
}

void clearShellCommands() { writeFile(logPath(), ""); }

} // namespace sandbox
