// The fake board's GPIO and USB side: the sysfs GPIO class, the USB device
// tree where the modem's interfaces appear, and the platform's line tools
// (gpioc with named lines, the MediaTek SDK gpio tool).
//
// A tmpfs cannot react to a write the way the kernel does: writing a number
// to the fake "export" file does not create the pin's directory. A test lays
// out exported pins itself with exportGpio().
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace sandbox {

inline constexpr char kGpioRoot[] = "/sys/class/gpio";
inline constexpr char kUsbDevicesRoot[] = "/sys/bus/usb/devices";

// A tmpfs over /sys/class/gpio with empty "export" and "unexport" files and
// no pin exported.
void fakeGpioTree();
// Lays out gpio<pin> as an exported pin with its direction and value files.
void exportGpio(unsigned pin, const std::string &direction = "in", const std::string &value = "0");
// "/sys/class/gpio/gpio<pin>".
std::string gpioPinDir(unsigned pin);
// The content of a pin file ("direction", "value"); "" when it is absent.
std::string gpioFile(unsigned pin, const std::string &name);
// What was written to the "export" file.
std::string gpioExportFile();

// A tmpfs over /sys/bus/usb/devices, empty.
void fakeUsbDevices();
// Adds an interface directory such as "1-1.4:1.3" holding one directory per
// tty named ("ttyUSB4"), as the kernel shows a USB serial interface. Returns
// its path.
std::string addUsbInterface(const std::string &name, const std::vector<std::string> &ttys = {}, mode_t mode = 0755);
void removeUsbInterface(const std::string &name);

// Stand-in gpioc and gpio tools on PATH (setUpTools() first). Both log their
// command lines; gpioc also keeps the level of each line it sets
// ("gpioc set 4G_POWER 1"), read back with gpiocLevel(). The bodies run after
// that, with the tool's arguments in $1..., so a test can make the board
// react (a power pulse that brings the modem's interface up).
void installGpioTools(const std::string &gpiocBody = "", const std::string &gpioBody = "");
// The level last set on the named line, "" when never set.
std::string gpiocLevel(const std::string &line);

} // namespace sandbox
