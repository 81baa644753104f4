// The stand-in tools and the reader of their log.
#include "tools.h"

#include <cstdlib>
#include <sstream>
#include <unistd.h>

#include "sandbox.h"

namespace sandbox {

namespace {

constexpr char kBusybox[] = "/bin/busybox";

std::string baseName(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::string toolDir() { return scratchDir() + "/bin"; }
std::string toolLogPath() { return scratchDir() + "/tools.log"; }

void setUpTools(const std::vector<std::string> &busyboxApplets)
{
    mkdirs(toolDir());
    writeFile(toolLogPath(), "");
    const char *old = std::getenv("PATH");
    const std::string path = toolDir() + ":" + (old != nullptr ? old : "/usr/sbin:/usr/bin:/sbin:/bin");
    if (old == nullptr || std::string(old).rfind(toolDir() + ":", 0) != 0) {
        setenv("PATH", path.c_str(), 1);
    }
    for (const std::string &applet : busyboxApplets) {
        const std::string link = toolDir() + "/" + applet;
        unlink(link.c_str());
        if (symlink(kBusybox, link.c_str()) != 0) {
            ADD_FAILURE() << "cannot link busybox applet " << applet << " (is busybox-static installed?)";
        }
    }
}

void installTool(const std::string &nameOrPath, const std::string &body)
{
    const bool absolute = !nameOrPath.empty() && nameOrPath[0] == '/';
    const std::string path = absolute ? nameOrPath : toolDir() + "/" + nameOrPath;
    const std::string name = absolute ? nameOrPath : baseName(nameOrPath);
    std::ostringstream script;
    script << "#!/bin/sh\n"
           << "printf '%s\\n' \"" << name << "${*:+ $*}\" >> '" << toolLogPath() << "'\n"
           << body << "\n";
    writeFile(path, script.str(), 0755);
}

std::vector<std::string> toolCalls() { return toolCallsIn(toolLogPath()); }

std::vector<std::string> toolCallsIn(const std::string &logPath)
{
    std::vector<std::string> lines;
    std::istringstream in(readFile(logPath));
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

void clearToolCalls() { writeFile(toolLogPath(), ""); }

} // namespace sandbox
