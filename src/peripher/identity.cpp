// Identity queries: what the test station reads to label the gateway.
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "fdOwner.h"
#include "log.h"
#include "peripher/peripher.h"

namespace {

constexpr char kLogModule[] = "src/peripher";
constexpr char kMacInterface[] = "eth0";
constexpr int kMacReplyLen = 7; // result byte and six address bytes
constexpr size_t kMacTextSize = 128;

} // namespace

int cmd_request_mac(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function Mac.\r\n\n");

    UniqueFd sock(socket(AF_INET, SOCK_DGRAM, 0));
    if (!sock.valid()) {
        GW_LOG("socket Open Error:%s\r\n\n", std::strerror(errno));
        return 0;
    }
    ifreq req{};
    std::strncpy(req.ifr_name, kMacInterface, sizeof req.ifr_name);
    req.ifr_name[sizeof req.ifr_name - 1] = '\0';
    if (ioctl(sock.get(), SIOCGIFHWADDR, &req) < 0) {
        GW_LOG("ioctl Operate Error:%s\r\n\n", std::strerror(errno));
        return 0;
    }
    sock.reset();

    std::array<uint8_t, kMacReplyLen> record{};
    std::memcpy(record.data() + 1, req.ifr_hwaddr.sa_data, kMacReplyLen - 1);
    char text[kMacTextSize];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", record[1], record[2], record[3], record[4],
                  record[5], record[6]);
    GW_LOG("Mac:%s \r\n\n", text);

    if (cap >= kMacReplyLen) {
        GW_LOG("MAC Function Get Mac Success, buffLen:%d.\r\n\n", kMacReplyLen);
        record[0] = kResultPass;
        std::memcpy(reply, record.data(), kMacReplyLen);
        return kMacReplyLen;
    }
    GW_LOG("MAC Buffer Too Less: Length %d.\r\n\n", kMacReplyLen);
    record[0] = kResultFail;
    if (cap <= 0) {
        return cap;
    }
    std::memcpy(reply, record.data(), static_cast<size_t>(cap));
    return cap;
}
