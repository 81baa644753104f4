// The radio pairing and carrier tests: network-information files as the
// service's own user sees them, the NXP radio emulated on a pty at its UART,
// and the exact command lines given to the gateway's tools.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "asUser.h"
#include "capture.h"
#include "carrierBoard.h"
#include "fds.h"
#include "handlerCall.h"
#include "logText.h"
#include "overlay.h"
#include "peripher/peripher.h"
#include "peripher/radio.h"
#include "peripher/resultReply.h"
#include "ptyPortTest.h"
#include "sandbox.h"
#include "serialEmulator.h"
#include "shellLog.h"
#include "tools.h"

namespace {

using sandbox::callHandler;
using sandbox::kNxpAck;
using sandbox::kNxpProbe;
using sandbox::logPrefix;
using sandbox::maskLineNumbers;
using sandbox::missingInOrder;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Bytes = std::vector<uint8_t>;

const std::string kP = "[src/peripher] ";

// ---------------------------------------------------------------------------
// Network-information files

struct NetInfo {
    CmdHandler handler;
    const char *function;
    const char *dir;
    const char *entry;
};

const NetInfo kNetInfos[] = {
    {cmd_request_zigbee_pair, "cmd_request_zigbee_pair", "/etc/config/tovak/amber",
     "cmd request Function Zigbee Pair.\r\n\n"},
    {cmd_request_zwave_pair, "cmd_request_zwave_pair", "/etc/config/tovak/zwdev",
     "cmd request Function ZWAVE Pair.\r\n\n"},
    {cmd_request_ble_dev_exsit, "cmd_request_ble_dev_exsit", "/etc/config/tovak/ble",
     "cmd request Function ble exsit.\r\n\n"},
};

// How the file stands, as the gateway's service (not root) sees it.
struct FileState {
    const char *name;
    bool create;
    mode_t fileMode;
    mode_t dirMode;
    uint8_t result;
};

const FileState kFileStates[] = {
    {"EmptyButReadable", true, 0644, 0755, 0x00}, {"ReadableByAll", true, 0444, 0755, 0x00},
    {"Missing", false, 0644, 0755, 0x01},         {"NoReadPermission", true, 0200, 0755, 0x01},
    {"DirectoryClosed", true, 0644, 0700, 0x01},
};

class NetInfoTest : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override { sandbox::overlayDir("/etc"); }
};

TEST_F(NetInfoTest, ReadabilityForTheServiceUserDecides)
{
    for (const NetInfo &radio : kNetInfos) {
        for (const FileState &state : kFileStates) {
            SCOPED_TRACE(std::string(radio.function) + " " + state.name);
            const std::string dir = radio.dir;
            const std::string path = dir + "/netinfo";
            sandbox::sh("rm -rf /etc/config/tovak");
            sandbox::mkdirs(dir);
            if (state.create) {
                sandbox::writeFile(path, "", state.fileMode);
                ASSERT_EQ(chmod(path.c_str(), state.fileMode), 0);
            }
            ASSERT_EQ(chmod(dir.c_str(), state.dirMode), 0);

            sandbox::OutputCapture out;
            const std::optional<int> got = sandbox::runAsUser([&] {
                const auto r = callHandler(radio.handler);
                if (r.len != 1 || r.wroteBeyond) {
                    return -1;
                }
                return static_cast<int>(r.reply[0]);
            });
            out.finish();
            EXPECT_EQ(got, std::optional<int>(state.result));
        }
    }
}

TEST_F(NetInfoTest, ReplyIsTheResultByteAloneAndTheFileIsNotRead)
{
    for (const NetInfo &radio : kNetInfos) {
        SCOPED_TRACE(radio.function);
        sandbox::writeFile(std::string(radio.dir) + "/netinfo", "{\"panid\":1234}\n");
        const auto before = sandbox::openFds();
        const auto r = callHandler(radio.handler);
        EXPECT_EQ(r.len, 1);
        EXPECT_EQ(r.reply, Bytes{0x00});
        EXPECT_FALSE(r.wroteBeyond);
        EXPECT_EQ(sandbox::openFds(), before);
        EXPECT_EQ(sandbox::maskLineNumbers(r.out),
                  "[src/peripher] " + std::string(radio.function) + "() #N " + radio.entry +
                      "[src/peripher] resInfoWrite() #N Res:0x0 actualLength:1.\r\n\n");
    }
}

TEST_F(NetInfoTest, MissingFileLogsNothingBeyondTheEntry)
{
    for (const NetInfo &radio : kNetInfos) {
        SCOPED_TRACE(radio.function);
        const auto r = callHandler(radio.handler);
        EXPECT_EQ(r.reply, Bytes{0x01});
        EXPECT_EQ(sandbox::maskLineNumbers(r.out),
                  "[src/peripher] " + std::string(radio.function) + "() #N " + radio.entry +
                      "[src/peripher] resInfoWrite() #N Res:0x1 actualLength:1.\r\n\n");
    }
}

// ---------------------------------------------------------------------------
// Always-pass tests

struct AlwaysPass {
    CmdHandler handler;
    const char *function;
    const char *entry;
};

class AlwaysPassTest : public sandbox::SandboxTest {};

TEST_F(AlwaysPassTest, PassWithoutTouchingTheGateway)
{
    // clang-format off
    const AlwaysPass cases[] = {
        {cmd_request_greepower_pair, "cmd_request_greepower_pair", "cmd request Function GreenPower Pair.\r\n\n"},
        {cmd_request_nxp_pair, "cmd_request_nxp_pair", "cmd request Function NXP Pair.\r\n\n"},
        {cmd_request_ble_scan, "cmd_request_ble_scan", "cmd request Function Blutooth Scan.\r\n\n"},
    };
    // clang-format on
    sandbox::recordShellCommands();
    for (const AlwaysPass &c : cases) {
        SCOPED_TRACE(c.function);
        const auto r = callHandler(c.handler);
        EXPECT_EQ(r.len, 1);
        EXPECT_EQ(r.reply, Bytes{0x00});
        EXPECT_FALSE(r.wroteBeyond);
        EXPECT_EQ(sandbox::maskLineNumbers(r.out),
                  "[src/peripher] " + std::string(c.function) + "() #N " + c.entry +
                      "[src/peripher] resInfoWrite() #N Res:0x0 actualLength:1.\r\n\n");
    }
    EXPECT_THAT(sandbox::shellCommands(), IsEmpty());
}

TEST_F(AlwaysPassTest, NoRoomNoReply)
{
    const auto r = callHandler(cmd_request_nxp_pair, 0);
    EXPECT_EQ(r.len, 0);
    EXPECT_FALSE(r.wroteBeyond);
}

// ---------------------------------------------------------------------------
// Carrier tests

// The BLE direct-test request, channel 21, power 100, mode 254, as the
// shell must receive it.
const std::string kBleCommand =
    "ubus send TK.BLE '{\"PKT\":{\"to\": \"BLE\", \"from\": \"CLOUD\", \"type\": \"cmd\", \"data\": {\"id\": "
    "\"stream\", \"command\": \"setAttribute\", \"arguments\": {\"mac\": \"0102030405060708\", \"attribute\": "
    "\"ble.dtm\", \"value\": {\"channel\":21,\"power\":100,\"len\":40,\"phy\":1,\"mode\":254} } } }}'";

class CarrierTest : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override { sandbox::setUpCarrierBoard(); }

    void startRadio(const std::function<gwemu::Answer(unsigned hit)> &answer)
    {
        radio.emplace(answer);
        ASSERT_EQ(radio->error(), "");
    }
    // A radio that answers every probe with `answer` after `delayMs`.
    void startRadio(const std::string &answer, unsigned delayMs)
    {
        startRadio([answer, delayMs](unsigned) { return gwemu::Answer{gwemu::Chunk{delayMs, answer}}; });
    }

    std::optional<sandbox::NxpRadio> radio;
};

struct NxpCase {
    const char *name;
    std::string answer; // empty: the radio stays silent
    unsigned delayMs;
    uint8_t result;
};

TEST_F(CarrierTest, NxpAnswerWithinHalfASecondPasses)
{
    // clang-format off
    const NxpCase cases[] = {
        {"AckAtOnce", kNxpAck, 0, 0x00},
        {"AckSoon", kNxpAck, 100, 0x00},
        // Only the arrival of an answer counts, not what it says.
        {"AnyByte", std::string(1, '\xff'), 0, 0x00},
        {"LongAnswerReadUpToSixteen", std::string(20, 'x'), 0, 0x00},
        {"AckTooLate", kNxpAck, 800, 0x01},
        {"Silent", "", 0, 0x01},
    };
    // clang-format on
    // The radio answers the n-th probe as the n-th case says. The emulator's
    // thread picks the case by the probe's number, not from a variable this
    // thread sets per case: it may run its rule after this thread has seen
    // the probe arrive and moved on.
    startRadio([&cases](unsigned hit) {
        if (hit > std::size(cases) || cases[hit - 1].answer.empty()) {
            return gwemu::Answer{};
        }
        const NxpCase &c = cases[hit - 1];
        return gwemu::Answer{gwemu::Chunk{c.delayMs, c.answer}};
    });
    std::string sent;
    for (const NxpCase &c : cases) {
        SCOPED_TRACE(c.name);
        sandbox::clearToolCalls();
        const auto before = sandbox::openFds();
        const auto r = callHandler(cmd_request_nxp_singleCarrier);
        sent += kNxpProbe;

        EXPECT_EQ(r.len, 1);
        EXPECT_EQ(r.reply, Bytes{c.result});
        EXPECT_FALSE(r.wroteBeyond);
        EXPECT_EQ(radio->received(), sent) << "the probe frame goes out unchanged, once per test";
        EXPECT_THAT(sandbox::toolCalls(), ElementsAre("/etc/init.d/nxp stop", "tovak_ucmd.sh tone 15 20"));
        EXPECT_EQ(sandbox::openFds(), before) << "the port is closed again";

        // The dump shows what the one read took in: at most 16 bytes.
        const std::string seen = c.result == 0x00 ? c.answer.substr(0, 16) : "";
        const std::string dump = c.answer.size() > 16 ? "Receive:(16) \n"
                                                      : "Receive:(" + std::to_string(seen.size()) + ") \n" +
                                                            sandbox::hexBytes(seen, "[", "]") + "\r\n";
        EXPECT_EQ(
            missingInOrder(maskLineNumbers(r.out),
                           {logPrefix("src/peripher", "cmd_request_nxp_singleCarrier") + "Single Carrier Test\r\n\n",
                            logPrefix("src/peripher", "viewBuf") + dump,
                            "Res:0x" + std::to_string(c.result) + " actualLength:1.\r\n\n"}),
            "");
        if (c.delayMs > 500) {
            // The late answer is still on the line; the next test must not
            // count it.
            ASSERT_TRUE(sandbox::waitForUnread(sandbox::kNxpUart, static_cast<int>(c.answer.size())));
        }
    }
}

TEST_F(CarrierTest, RepeatedOnOnePortEachRunOpensAndCloses)
{
    startRadio(kNxpAck, 0);
    const auto before = sandbox::openFds();
    for (int run = 1; run <= 4; ++run) {
        SCOPED_TRACE(run);
        const auto r = callHandler(cmd_request_nxp_singleCarrier);
        EXPECT_EQ(r.reply, Bytes{0x00});
        EXPECT_EQ(sandbox::openFds(), before);
    }
    std::string four;
    for (int i = 0; i < 4; ++i) {
        four += kNxpProbe;
    }
    EXPECT_EQ(radio->received(), four);
    EXPECT_EQ(sandbox::toolCalls().size(), 8U);
}

TEST_F(CarrierTest, NoPortFailsAfterTheCommandsRan)
{
    const auto r = callHandler(cmd_request_nxp_singleCarrier);
    EXPECT_EQ(r.reply, Bytes{0x01});
    EXPECT_THAT(sandbox::toolCalls(), ElementsAre("/etc/init.d/nxp stop", "tovak_ucmd.sh tone 15 20"));
    const std::string p = logPrefix("src/peripher", "cmd_request_nxp_singleCarrier");
    EXPECT_EQ(missingInOrder(maskLineNumbers(r.out),
                             {p + "Single Carrier Test\r\n\n", "Couldn't open serial device \"/dev/ttyS1\"",
                              p + "Open Serial(-1) Error.\r\n\n", "Res:0x1 actualLength:1.\r\n\n"}),
              "");
    EXPECT_THAT(r.out, Not(HasSubstr("Receive:")));
}

// With standard input closed the port opens as descriptor 0, which the
// test refuses; the port must not stay held by the service.
TEST_F(CarrierTest, PortOpenedAsDescriptorZeroIsFailedAndClosed)
{
    startRadio(kNxpAck, 0);
    sandbox::OutputCapture out;
    const int savedIn = dup(0);
    ASSERT_GE(savedIn, 0);
    close(0);
    std::array<uint8_t, kReplyCap> reply{};
    const int len = cmd_request_nxp_singleCarrier(reply.data(), kReplyCap);
    const bool zeroStillOpen = fcntl(0, F_GETFD) != -1;
    dup2(savedIn, 0);
    close(savedIn);
    const std::string log = out.finish();

    EXPECT_EQ(len, 1);
    EXPECT_EQ(reply[0], 0x01);
    EXPECT_FALSE(zeroStillOpen);
    EXPECT_THAT(log, HasSubstr("Open Serial(0) Error.\r\n\n"));
    EXPECT_EQ(radio->received(), "");
}

TEST_F(CarrierTest, EmberToneCommandAndPassWhateverItDid)
{
    for (const char *body : {"exit 0", "exit 3"}) {
        SCOPED_TRACE(body);
        sandbox::installTool("tovak_ucmd.sh", body);
        sandbox::clearToolCalls();
        sandbox::recordShellCommands();
        const auto r = callHandler(cmd_request_ember_singleCarrier);
        EXPECT_EQ(r.len, 1);
        EXPECT_EQ(r.reply, Bytes{0x00});
        EXPECT_THAT(sandbox::shellCommands(), ElementsAre("tovak_ucmd.sh tone 15 20"));
        EXPECT_THAT(maskLineNumbers(r.out), HasSubstr(logPrefix("src/peripher", "cmd_request_ember_singleCarrier") +
                                                      "Single Carrier Test\r\n\n"));
    }
}

TEST_F(CarrierTest, NxpCommandLinesByteForByte)
{
    startRadio(kNxpAck, 0);
    sandbox::recordShellCommands();
    const auto r = callHandler(cmd_request_nxp_singleCarrier);
    EXPECT_EQ(r.reply, Bytes{0x00});
    EXPECT_THAT(sandbox::shellCommands(), ElementsAre("/etc/init.d/nxp stop", "tovak_ucmd.sh tone 15 20"));
}

TEST_F(CarrierTest, BleDirectTestMessageOnTheBus)
{
    for (const char *body : {"exit 0", "exit 1"}) {
        SCOPED_TRACE(body);
        sandbox::installTool("ubus", body);
        sandbox::clearToolCalls();
        sandbox::recordShellCommands();
        const auto r = callHandler(cmd_request_ble_singleCarrier);
        EXPECT_EQ(r.len, 1);
        EXPECT_EQ(r.reply, Bytes{0x00});
        EXPECT_FALSE(r.wroteBeyond);
        EXPECT_THAT(sandbox::shellCommands(), ElementsAre(kBleCommand));
        // What the bus tool gets after the shell took the quotes away.
        EXPECT_THAT(
            sandbox::toolCalls(),
            ElementsAre("ubus send TK.BLE {\"PKT\":{\"to\": \"BLE\", \"from\": \"CLOUD\", \"type\": \"cmd\", "
                        "\"data\": {\"id\": \"stream\", \"command\": \"setAttribute\", \"arguments\": {\"mac\": "
                        "\"0102030405060708\", \"attribute\": \"ble.dtm\", \"value\": "
                        "{\"channel\":21,\"power\":100,\"len\":40,\"phy\":1,\"mode\":254} } } }}"));
        EXPECT_THAT(maskLineNumbers(r.out), HasSubstr(logPrefix("src/peripher", "cmd_request_ble_singleCarrier") +
                                                      "Single Ble Carrier Test---------------\r\n\n"));
    }
}

// ---------------------------------------------------------------------------
// Through the dispatcher: one code, two models

class RadioDispatch : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override { sandbox::overlayDir("/etc"); }
};

TEST_F(RadioDispatch, Code0401IsGreenPowerOnGwm0101AndZigbeeOnGwm0202)
{
    struct Case {
        const char *model;
        bool zigbeeFile;
        uint8_t result;
        const char *entry;
    };
    // clang-format off
    const Case cases[] = {
        {"gwm0101\n", false, 0x00, "cmd_request_greepower_pair() #N cmd request Function GreenPower Pair.\r\n\n"},
        {"gwm0101\n", true, 0x00, "cmd_request_greepower_pair() #N cmd request Function GreenPower Pair.\r\n\n"},
        {"gwm0202\n", false, 0x01, "cmd_request_zigbee_pair() #N cmd request Function Zigbee Pair.\r\n\n"},
        {"gwm0202\n", true, 0x00, "cmd_request_zigbee_pair() #N cmd request Function Zigbee Pair.\r\n\n"},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.model) + (c.zigbeeFile ? " with" : " without") + " the Zigbee file");
        sandbox::writeFile("/tmp/sysinfo/model", c.model);
        unlink("/etc/config/tovak/amber/netinfo");
        if (c.zigbeeFile) {
            sandbox::writeFile("/etc/config/tovak/amber/netinfo", "");
        }
        PeripherCtx ctx{};
        sandbox::OutputCapture out;
        ctxPeripherInit(&ctx);
        const int len = peripherHandler(0x0401, &ctx);
        const std::string log = sandbox::maskLineNumbers(out.finish());
        EXPECT_EQ(len, 1);
        EXPECT_EQ(ctx.replyLen, 1);
        EXPECT_EQ(ctx.reply[0], c.result);
        EXPECT_THAT(log, HasSubstr(kP + c.entry));
    }
}

} // namespace
