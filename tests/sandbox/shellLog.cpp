// The /bin/sh wrapper that records "sh -c" command lines.
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
    const std::string bash = realPath("/bin/bash");
    if (bash.empty()) {
        ADD_FAILURE() << "sandbox: recording shell commands needs bash";
        return;
    }
    // The wrapper must not change how the processes it runs look: BusyBox
    // pidof and killall find a running script by its process name (comm)
    // and, for a name cut to 15 characters, by argv[1]. So it runs the real
    // shell under the process name it was started with (through a link of
    // that name) and with the argument vector it was given, argv[0] too.
    // Each command ends in a NUL byte, so commands with line breaks stay
    // whole.
    const std::string names = scratchDir() + "/shell-names";
    mkdirs(names);
    writeFile(wrapper,
              "#!" + bash +
                  "\n"
                  "[ \"$1\" = -c ] && printf '%s\\0' \"$2\" >> '" +
                  logPath() +
                  "'\n"
                  "read -r gwtest_name < /proc/$$/comm\n"
                  "gwtest_link='" +
                  names +
                  "'/$gwtest_name\n"
                  "[ -e \"$gwtest_link\" ] || ln -sf '" +
                  shell +
                  "' \"$gwtest_link\"\n"
                  "exec -a \"$0\" \"$gwtest_link\" \"$@\"\n",
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
