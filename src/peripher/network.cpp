// Network tests: the WAN address, the default gateway and an Internet host
// answering ping, and the Wi-Fi smart configuration.
#include "peripher/network.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "board/shell.h"
#include "clock.h"
#include "fdOwner.h"
#include "log.h"
#include "peripher/peripher.h"
#include "peripher/resultReply.h"

namespace {

constexpr char kLogModule[] = "src/peripher";

// The WAN port is the VLAN eth0.2 of the switch, except on the GWM0303,
// whose WAN is eth0 itself.
constexpr char kWanInterface[] = "eth0.2";
constexpr char kWanInterfaceGwm0303[] = "eth0";
constexpr char kModelWithPlainWan[] = "GWM0303";
constexpr char kModelCommand[] = "cat /tmp/sysinfo/model";
constexpr size_t kInterfaceNameSize = IFNAMSIZ; // the kernel's limit, its end included
constexpr size_t kAddressTextSize = 64;

constexpr char kRoutePath[] = "/proc/net/route";
constexpr int kRouteLineLimit = 256;
constexpr size_t kGatewayTextSize = 32;

constexpr char kPingFormat[] = "ping -w %d %s | grep ttl";
constexpr int kPingDeadlineSec = 3;
constexpr size_t kCommandSize = 256;

// A host that answers ping, reached by name through the gateway's resolver,
// and reachable from factory networks in mainland China as elsewhere.
constexpr char kDnsPingHost[] = "www.baidu.com";

constexpr char kSmartconfigLock[] = "/tmp/smartconfig_lock";
constexpr int kSmartconfigChecks = 30;

// The targets are a dotted address or the fixed host name: the command
// always fits its buffer.
void formatPing(std::array<char, kCommandSize> &command, const char *target)
{
    std::snprintf(command.data(), command.size(), kPingFormat, kPingDeadlineSec, target);
}

} // namespace

bool routeDefaultGateway(std::FILE *table, uint32_t *gateway)
{
    std::array<char, kRouteLineLimit> line{};
    // The column header.
    if (std::fgets(line.data(), kRouteLineLimit, table) == nullptr) {
        return false;
    }
    while (std::fgets(line.data(), kRouteLineLimit, table) != nullptr) {
        // Kernel interface names have at most 15 characters: the width keeps
        // the name within its field, and a line whose name does not end
        // there is not a route of this kernel (its hex fields would be read
        // from the rest of the name).
        std::array<char, IFNAMSIZ> name{};
        int nameEnd = 0;
        unsigned long long destination = 0;
        unsigned long long gatewayWord = 0;
        const int fields =
            std::sscanf(line.data(), "%15s%n %llX %llX", name.data(), &nameEnd, &destination, &gatewayWord);
        const char afterName = line[static_cast<size_t>(nameEnd)];
        const bool nameWhole = afterName == ' ' || afterName == '\t';
        if (fields == 3 && nameWhole && destination == 0) {
            *gateway = static_cast<uint32_t>(gatewayWord);
            return true;
        }
    }
    return false;
}

int cmd_wan_dhcpcli(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function DHCP.\r\n\n");

    std::array<char, kInterfaceNameSize> interface {
    };
    std::snprintf(interface.data(), interface.size(), "%s", kWanInterface);
    std::array<char, kShellLineRoom> model{};
    shellFirstLine(kModelCommand, model.data());
    if (std::strcmp(model.data(), kModelWithPlainWan) == 0) {
        std::snprintf(interface.data(), interface.size(), "%s", kWanInterfaceGwm0303);
    }

    bool passed = false;
    std::array<char, kAddressTextSize> address{};
    UniqueFd sock(socket(AF_INET, SOCK_DGRAM, 0));
    if (!sock.valid()) {
        GW_LOG("socket Create error: %s\n\n", std::strerror(errno));
    } else {
        ifreq req{};
        std::strncpy(req.ifr_name, interface.data(), sizeof req.ifr_name);
        req.ifr_name[sizeof req.ifr_name - 1] = '\0';
        if (ioctl(sock.get(), SIOCGIFADDR, &req) < 0) {
            GW_LOG("ioctl error: %s\n\n", std::strerror(errno));
        } else {
            sockaddr_in in{};
            std::memcpy(&in, &req.ifr_addr, sizeof in);
            std::snprintf(address.data(), address.size(), "%s", inet_ntoa(in.sin_addr));
            passed = true;
        }
        sock.reset();
    }

    if (passed) {
        GW_LOG("Wan DHCP Success, WAN IP:%s.\r\n\n", address.data());
    } else {
        GW_LOG("Wan DHCP Error.\r\n\n");
    }
    return replyResultByte(reply, cap, passed ? kResultPass : kResultFail);
}

int cmd_request_wan_ping_gw(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function Ping GataWay.\r\n\n");

    bool passed = false;
    UniqueFile table(std::fopen(kRoutePath, "r"));
    if (!table) {
        GW_LOG("Path:%s Can't Find.\r\n\n", kRoutePath);
    } else {
        uint32_t word = 0;
        const bool found = routeDefaultGateway(table.get(), &word);
        table.reset();
        if (!found) {
            GW_LOG("Can't Find Gataway.\r\n\n");
        } else {
            GW_LOG("gate addr:0x%x.\r\n\n", word);
            in_addr gatewayAddr{};
            gatewayAddr.s_addr = word;
            std::array<char, kGatewayTextSize> gatewayText{};
            std::snprintf(gatewayText.data(), gatewayText.size(), "%s", inet_ntoa(gatewayAddr));

            GW_LOG("Gataway IP:%s\r\n\n", gatewayText.data());
            std::array<char, kCommandSize> command{};
            formatPing(command, gatewayText.data());
            GW_LOG("%s\r\n\n", command.data());
            if (shellRun(command.data()) == 0) {
                GW_LOG("ping %s Success.\r\n\n", gatewayText.data());
                passed = true;
            } else {
                GW_LOG("ping %s Failed.\r\n\n", gatewayText.data());
            }
        }
    }

    if (passed) {
        GW_LOG("WAN Gataway Ping Success.\r\n\n");
    } else {
        GW_LOG("WAN Gataway Ping Failed.\r\n\n");
    }
    return replyResultByte(reply, cap, passed ? kResultPass : kResultFail);
}

int cmd_request_wan_dns_ping(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function Ping DNS.\r\n\n");
    GW_LOG("Ping http:%s\r\n\n", kDnsPingHost);

    std::array<char, kCommandSize> command{};
    formatPing(command, kDnsPingHost);
    GW_LOG("%s\r\n\n", command.data());
    const bool passed = shellRun(command.data()) == 0;
    if (passed) {
        GW_LOG("ping %s Success.\r\n\n", kDnsPingHost);
        GW_LOG("WAN DNS Ping Success.\r\n\n");
    } else {
        GW_LOG("ping %s Failed.\r\n\n", kDnsPingHost);
    }
    return replyResultByte(reply, cap, passed ? kResultPass : kResultFail);
}

int cmd_request_wifi_smartconfig(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function WIFI Smartconfig.\r\n\n");

    // Restart the smart configuration from scratch: wlan0 down, any running
    // script and program gone, the script's lock removed, a fresh script.
    shellRunUnchecked("ifconfig wlan0 down");
    shellRunUnchecked("kill -9 $(pidof smartconfig.sh)");
    std::remove(kSmartconfigLock);
    shellRunUnchecked("kill -9 $(pidof smartconfig)");
    shellRunUnchecked("/usr/bin/smartconfig.sh &");
    GW_LOG("start smartconfig\n");

    bool passed = false;
    for (int check = 0; check < kSmartconfigChecks; ++check) {
        if (shellRun("ifconfig wlan0 | grep -q \"inet addr\"") == 0) {
            shellRunUnchecked("ifconfig wlan0");
            GW_LOG("smartconfig Success.\n\n");
            passed = true;
            break;
        }
        gwSleepSec(1);
    }

    shellRunUnchecked("kill -9 $(pidof smartconfig.sh)");
    shellRunUnchecked("kill -9 $(pidof smartconfig)");
    return replyResultByte(reply, cap, passed ? kResultPass : kResultFail);
}
