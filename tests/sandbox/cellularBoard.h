// The cellular modem's side of the fake board, for the pin, the unit and the
// service tests alike: the modem's power lines and USB interface
// (gpioBoard.h), the init scripts and tools around it as stand-ins, and the
// modem emulated on a pty at its AT port.
#pragma once

#include <string>
#include <vector>

#include "emulatedPort.h"
#include "modem.h"

namespace sandbox {

// Present on the boards whose firmware is built on the MediaTek SDK.
inline constexpr char kMtkSdkMarker[] = "/tmp/sysinfo/mtksdk";

// The modem's power side as the board's start-up leaves it: the sysfs GPIO
// class and the USB device tree (both empty), the line tools and
// /etc/init.d/netmged as stand-ins (setUpTools() with the BusyBox applets
// named), and /tmp/sysinfo without the marker.
void setUpModemPowerBoard(const std::vector<std::string> &busyboxApplets = {});

// The whole modem side: the power side with the gateway's BusyBox find and
// basename, a fresh /dev for the modem's ports, the 2G modem's reset and
// power lines (GPIO 37 and 0) exported high, /etc/init.d/datalink, and a
// pidof that finds no pppd.
void setUpCellularBoard();

void setMtkSdkMarker(bool present);

// A modem on a pty bound at its device path; check error() before use.
class Modem : public gwemu::EmulatedPort {
public:
    explicit Modem(const std::string &devicePath, const gwemu::ModemBehaviour &behaviour = {})
        : EmulatedPort(devicePath, gwemu::modemRules(behaviour))
    {
    }
};

} // namespace sandbox
