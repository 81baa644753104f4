// The cellular modem's side of the fake board.
#include "cellularBoard.h"

#include <unistd.h>

#include "gpioBoard.h"
#include "sandbox.h"
#include "tools.h"

namespace sandbox {

void setUpModemPowerBoard(const std::vector<std::string> &busyboxApplets)
{
    fakeGpioTree();
    fakeUsbDevices();
    setUpTools(busyboxApplets);
    installGpioTools();
    mountTmpfs("/etc/init.d");
    installTool("/etc/init.d/netmged");
    mkdirs("/tmp/sysinfo");
}

void setUpCellularBoard()
{
    setUpModemPowerBoard({"find", "basename"});
    freshDev();
    exportGpio(37, "out", "1");
    exportGpio(0, "out", "1");
    installTool("/etc/init.d/datalink");
    installTool("pidof", "exit 1");
}

void setMtkSdkMarker(bool present)
{
    if (present) {
        writeFile(kMtkSdkMarker, "");
    } else {
        unlink(kMtkSdkMarker);
    }
}

} // namespace sandbox
