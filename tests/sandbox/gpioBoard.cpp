// The fake board's GPIO class, USB device tree and line-tool stand-ins.
#include "gpioBoard.h"

#include <sys/stat.h>

#include "sandbox.h"
#include "sysTree.h"
#include "tools.h"

namespace sandbox {

namespace {

std::string gpiocStateDir() { return scratchDir() + "/gpioc"; }

std::string readIfThere(const std::string &path) { return exists(path) ? readFile(path) : ""; }

} // namespace

void fakeGpioTree()
{
    mountSysTmpfs(kGpioRoot);
    writeFile(std::string(kGpioRoot) + "/export", "", 0200);
    writeFile(std::string(kGpioRoot) + "/unexport", "", 0200);
}

std::string gpioPinDir(unsigned pin) { return std::string(kGpioRoot) + "/gpio" + std::to_string(pin); }

void exportGpio(unsigned pin, const std::string &direction, const std::string &value)
{
    const std::string dir = gpioPinDir(pin);
    mkdirs(dir);
    writeFile(dir + "/direction", direction + "\n");
    writeFile(dir + "/value", value + "\n");
}

std::string gpioFile(unsigned pin, const std::string &name) { return readIfThere(gpioPinDir(pin) + "/" + name); }

std::string gpioExportFile() { return readIfThere(std::string(kGpioRoot) + "/export"); }

void fakeUsbDevices() { mountSysTmpfs(kUsbDevicesRoot); }

std::string addUsbInterface(const std::string &name, const std::vector<std::string> &ttys, mode_t mode)
{
    const std::string dir = std::string(kUsbDevicesRoot) + "/" + name;
    mkdirs(dir);
    for (const std::string &tty : ttys) {
        mkdirs(dir + "/" + tty);
    }
    chmod(dir.c_str(), mode);
    return dir;
}

void removeUsbInterface(const std::string &name) { sh("rm -rf '" + std::string(kUsbDevicesRoot) + "/" + name + "'"); }

void installGpioTools(const std::string &gpiocBody, const std::string &gpioBody)
{
    mkdirs(gpiocStateDir());
    installTool("gpioc", "if [ \"$1\" = set ] && [ $# -eq 3 ]; then printf '%s\\n' \"$3\" > '" + gpiocStateDir() +
                             "'/\"$2\"; fi\n" + gpiocBody);
    installTool("gpio", gpioBody.empty() ? "exit 0" : gpioBody);
}

std::string gpiocLevel(const std::string &line)
{
    const std::string level = readIfThere(gpiocStateDir() + "/" + line);
    return level.empty() ? level : level.substr(0, level.find('\n'));
}

} // namespace sandbox
