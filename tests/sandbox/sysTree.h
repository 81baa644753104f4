// Fake directories of the kernel's sysfs (/sys/class/gpio, /sys/class/leds,
// /sys/bus/usb/devices). The test machine may have no such directory, and
// sysfs refuses mkdir, so a missing one is made room for by covering its
// nearest existing ancestor with a tmpfs into which that ancestor's own
// entries are bound back: /sys/class/net and the rest stay as they were.
#pragma once

#include <string>

namespace sandbox {

// A fresh, empty tmpfs at the path (inside the sandbox only), created below
// sysfs where needed.
void mountSysTmpfs(const std::string &path);

} // namespace sandbox
