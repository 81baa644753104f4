// Radio pairing and carrier tests. The pairing tests only look whether the
// radio stack has written its network-information file (the file's content
// is the stack's business); the carrier tests put a radio into a continuous
// transmission for the station's power meter.
#include "peripher/radio.h"

#include <array>
#include <cstdio>
#include <unistd.h>

#include "board/files.h"
#include "board/serial.h"
#include "board/shell.h"
#include "log.h"
#include "peripher/peripher.h"
#include "peripher/resultReply.h"

namespace {

constexpr char kLogModule[] = "src/peripher";

constexpr char kZigbeeNetInfo[] = "/etc/config/tovak/amber/netinfo";
constexpr char kZwaveNetInfo[] = "/etc/config/tovak/zwdev/netinfo";
constexpr char kBleNetInfo[] = "/etc/config/tovak/ble/netinfo";

// The NXP service owns the radio's UART; it must let go of it before the
// test talks to the radio directly. It stays stopped after the test.
constexpr char kNxpStop[] = "/etc/init.d/nxp stop";
constexpr char kToneCommand[] = "tovak_ucmd.sh tone 15 20";

constexpr char kNxpTty[] = "/dev/ttyS1";
constexpr int kNxpBaud = 115200;
constexpr std::array<uint8_t, 7> kNxpProbe{0x01, 0x05, 0x02, 0x00, 0x01, 0x79, 0x0C};
constexpr int kNxpWriteTimeoutMs = 100;
constexpr int kNxpAnswerTimeoutMs = 500;
constexpr size_t kNxpAnswerMax = 16;

// Direct-test mode of the BLE radio: channel, power and mode fill the
// message; the device address is a placeholder the BLE service ignores.
constexpr size_t kBleCommandSize = 1024;
constexpr int kBleChannel = 21;
constexpr int kBlePower = 100;
constexpr int kBleMode = 254;

int netInfoTest(const char *path, uint8_t *reply, int cap)
{
    const bool readable = access(path, R_OK) == 0;
    return replyResultByte(reply, cap, readable ? kResultPass : kResultFail);
}

} // namespace

int cmd_request_zigbee_pair(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function Zigbee Pair.\r\n\n");
    return netInfoTest(kZigbeeNetInfo, reply, cap);
}

int cmd_request_zwave_pair(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function ZWAVE Pair.\r\n\n");
    return netInfoTest(kZwaveNetInfo, reply, cap);
}

int cmd_request_ble_dev_exsit(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function ble exsit.\r\n\n");
    return netInfoTest(kBleNetInfo, reply, cap);
}

int cmd_request_greepower_pair(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function GreenPower Pair.\r\n\n");
    return replyResultByte(reply, cap, kResultPass);
}

int cmd_request_nxp_pair(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function NXP Pair.\r\n\n");
    return replyResultByte(reply, cap, kResultPass);
}

int cmd_request_ble_scan(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function Blutooth Scan.\r\n\n");
    return replyResultByte(reply, cap, kResultPass);
}

int cmd_request_nxp_singleCarrier(uint8_t *reply, int cap)
{
    GW_LOG("Single Carrier Test\r\n\n");

    shellRunUnchecked(kNxpStop);
    shellRunUnchecked(kToneCommand);

    uint8_t result = kResultFail;
    // Descriptor 0 is refused as a port, but when standard input was closed
    // it is the port just opened: the owner closes it with any other.
    const SerialPort port(serial_open(kNxpTty, kNxpBaud));
    const int fd = port.fd();
    if (fd <= 0) {
        GW_LOG("Open Serial(%d) Error.\r\n\n", fd);
    } else {
        serial_write(fd, kNxpProbe.data(), static_cast<int>(kNxpProbe.size()), kNxpWriteTimeoutMs);
        // Any answer counts: the radio acknowledges the probe, and only its
        // arrival within the time-out matters.
        std::array<uint8_t, kNxpAnswerMax> answer{};
        const int got = serial_read(fd, answer.data(), static_cast<int>(answer.size()), kNxpAnswerTimeoutMs);
        if (got > 0) {
            result = kResultPass;
        }
        viewBuf("Receive:", answer.data(), static_cast<uint16_t>(got > 0 ? got : 0));
    }
    return replyResultByte(reply, cap, result);
}

int cmd_request_ember_singleCarrier(uint8_t *reply, int cap)
{
    GW_LOG("Single Carrier Test\r\n\n");
    shellRunUnchecked(kToneCommand);
    return replyResultByte(reply, cap, kResultPass);
}

int cmd_request_ble_singleCarrier(uint8_t *reply, int cap)
{
    GW_LOG("Single Ble Carrier Test---------------\r\n\n");
    std::array<char, kBleCommandSize> command{};
    std::snprintf(
        command.data(), command.size(),
        R"(ubus send TK.BLE '{"PKT":{"to": "BLE", "from": "CLOUD", "type": "cmd", "data": {"id": "stream", "command": "setAttribute", "arguments": {"mac": "0102030405060708", "attribute": "ble.dtm", "value": {"channel":%d,"power":%d,"len":40,"phy":1,"mode":%d} } } }}')",
        kBleChannel, kBlePower, kBleMode);
    shellRunUnchecked(command.data());
    return replyResultByte(reply, cap, kResultPass);
}
