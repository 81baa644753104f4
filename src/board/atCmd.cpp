// The modem's AT port: discovery under the USB interface in sysfs and one
// command/answer exchange per call.
#include "board/atCmd.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>

#include "board/serial.h"
#include "clock.h"
#include "fdOwner.h"
#include "log.h"
#include "util/strings.h"

namespace {

constexpr char kLogModule[] = "src/peripher";

constexpr int kAtBaud = 115200;
constexpr int kAtWriteTimeoutMs = 1000;
// Time the modem gets to answer before the one read.
constexpr uint64_t kAtAnswerPauseMs = 500;
constexpr int kAtRxSize = 256;
// Each byte received is logged as "0x%02x ": room for all of them.
constexpr size_t kHexTextSize = kAtRxSize * kHexItemLen + 1;

} // namespace

int findDev(const char *dir, const char *pattern, char *out, uint16_t cap)
{
    if (dir == nullptr || pattern == nullptr || out == nullptr || cap == 0) {
        return -2;
    }
    GW_LOG("Open Path:%s\n\n", dir);

    UniqueDir entries(opendir(dir));
    if (!entries) {
        GW_LOG("Open %s Error:%s.\n\n", dir, std::strerror(errno));
        return -1;
    }
    // "." and ".." are read like any entry; they do not hold a tty name.
    while (const dirent *entry = readdir(entries.get())) {
        if (std::strstr(entry->d_name, pattern) == nullptr) {
            continue;
        }
        std::snprintf(out, cap, "%s", entry->d_name);
        GW_LOG("%s %s\n\n", entry->d_name, out);
        return static_cast<int>(std::strlen(entry->d_name));
    }
    return 0;
}

int atCmdCmp(const char *dev, const char *cmd, const char *expect, uint16_t timeoutMs)
{
    if (dev == nullptr || cmd == nullptr || expect == nullptr) {
        return -1;
    }
    GW_LOG("Device:%s Baud:%d.\r\n\n", dev, kAtBaud);

    const int fd = serial_open(dev, kAtBaud);
    if (fd < 0) {
        GW_LOG("Open Serial Fd error.\r\n\n");
        return fd;
    }
    // Closed on every way out of the exchange, descriptor 0 included.
    const SerialPort port(fd);

    GW_LOG("Send:%s \r\n\n", cmd);
    const size_t cmdLen = std::strlen(cmd);
    const int sendLen = cmdLen > INT_MAX ? INT_MAX : static_cast<int>(cmdLen);
    if (serial_write(fd, cmd, sendLen, kAtWriteTimeoutMs) <= 0) {
        GW_LOG("Send CMD Error.\r\n\n");
        return 1;
    }

    gwSleepMs(kAtAnswerPauseMs);

    // One byte beyond what is read stays NUL, so the answer is always a
    // terminated text and the search ends with the bytes received.
    std::array<char, kAtRxSize + 1> rx{};
    const int got = serial_read(fd, rx.data(), kAtRxSize, timeoutMs);
    if (got <= 0) {
        GW_LOG("Receive Read Error.\r\n\n");
        return 1;
    }

    std::array<char, kHexTextSize> hex{};
    hexItems(hex.data(), hex.size(), reinterpret_cast<const uint8_t *>(rx.data()), static_cast<size_t>(got));
    GW_LOG("Recieve[%d]:%s\r\n\n", got, hex.data());

    if (std::strstr(rx.data(), expect) != nullptr) {
        GW_LOG("Receive:%s\n,Expect:%s Got\n\n", rx.data(), expect);
        return 0;
    }
    GW_LOG("Receive:%s\n,Expect:%s Error\n\n", rx.data(), expect);
    return 1;
}
