// The AT exchange against an emulated modem on a pty at the modem's device
// path, and tty discovery in a USB interface directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

#include "board/atCmd.h"
#include "capture.h"
#include "fds.h"
#include "logText.h"
#include "modem.h"
#include "ptyPortTest.h"
#include "sandbox.h"
#include "serialEmulator.h"
#include "virtualClock.h"

namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr char kDevice[] = "/dev/ttyUSB4";
constexpr uint64_t kAnswerPauseUs = 500000;

std::string repeat(const std::string &text, int times)
{
    std::string all;
    for (int i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

class AtCmdTest : public sandbox::PtyPortTest {
protected:
    AtCmdTest() : PtyPortTest(kDevice) {}

    void startModem(const gwemu::ModemBehaviour &behaviour = {}) { startPeer(gwemu::modemRules(behaviour)); }
    void startPeer(std::vector<gwemu::Rule> rules) { peer.emplace(port.master(), std::move(rules)); }

    std::optional<gwemu::SerialEmulator> peer;
    sandbox::VirtualClock clock;
};

TEST_F(AtCmdTest, EchoAndOkInOneReadPasses)
{
    startModem();
    const auto fdsBefore = sandbox::openFds();
    sandbox::OutputCapture out;
    const int result = atCmdCmp(kDevice, "AT\r", "OK", 5000);
    const std::string log = out.finish();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(peer->received(), "AT\r");
    EXPECT_THAT(clock.sleeps(), ElementsAre(kAnswerPauseUs));
    EXPECT_EQ(sandbox::openFds(), fdsBefore);
    EXPECT_EQ(sandbox::maskLineNumbers(log),
              "[src/peripher] atCmdCmp() #N Device:/dev/ttyUSB4 Baud:115200.\r\n\n"
              "[src/peripher] atCmdCmp() #N Send:AT\r \r\n\n"
              "[src/peripher] atCmdCmp() #N Recieve[9]:0x41 0x54 0x0d 0x0d 0x0a 0x4f 0x4b 0x0d 0x0a \r\n\n"
              "[src/peripher] atCmdCmp() #N Receive:AT\r\r\nOK\r\n\n,Expect:OK Got\n\n");
}

// Without standard input the port opens as descriptor 0; the exchange works
// and the port is closed afterwards all the same.
TEST_F(AtCmdTest, PortOpenedAsDescriptorZeroIsClosed)
{
    startModem();
    sandbox::OutputCapture out; // before descriptor 0 is free, so it does not take it
    const int savedIn = dup(0);
    ASSERT_GE(savedIn, 0);
    close(0);
    const int result = atCmdCmp(kDevice, "AT\r", "OK", 5000);
    const bool zeroStillOpen = fcntl(0, F_GETFD) != -1;
    out.finish();
    dup2(savedIn, 0);
    close(savedIn);

    EXPECT_EQ(result, 0);
    EXPECT_FALSE(zeroStillOpen);
}

struct AnswerCase {
    const char *name;
    gwemu::ModemBehaviour modem;
    const char *cmd;
    const char *expect;
    int result;
    const char *lastLine;
};

void PrintTo(const AnswerCase &c, std::ostream *os) { *os << c.name; }

class AtCmdAnswers : public AtCmdTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AtCmdAnswers, JudgesTheFirstReadOnly)
{
    const AnswerCase &c = GetParam();
    startModem(c.modem);
    const auto fdsBefore = sandbox::openFds();
    sandbox::OutputCapture out;
    const int result = atCmdCmp(kDevice, c.cmd, c.expect, 5000);
    const std::string log = out.finish();

    EXPECT_EQ(result, c.result);
    EXPECT_EQ(peer->received(), c.cmd);
    EXPECT_THAT(sandbox::maskLineNumbers(log), EndsWith(std::string("[src/peripher] atCmdCmp() #N ") + c.lastLine));
    EXPECT_EQ(sandbox::openFds(), fdsBefore);
}

gwemu::ModemBehaviour modem(void (*change)(gwemu::ModemBehaviour &))
{
    gwemu::ModemBehaviour b;
    change(b);
    return b;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Modem, AtCmdAnswers,
    ::testing::Values(
        AnswerCase{"ErrorOnly", modem([](gwemu::ModemBehaviour &b) { b.echo = false, b.atOk = false; }), "AT\r", "OK",
                   1, "Receive:\r\nERROR\r\n\n,Expect:OK Error\n\n"},
        AnswerCase{"ErrorAfterEcho", modem([](gwemu::ModemBehaviour &b) { b.atOk = false; }), "AT\r", "OK", 1,
                   "Receive:AT\r\r\nERROR\r\n\n,Expect:OK Error\n\n"},
        AnswerCase{"SimReady", gwemu::ModemBehaviour{}, "AT+CPIN?\r", "READY", 0,
                   "Receive:AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n\n,Expect:READY Got\n\n"},
        AnswerCase{"SimMissing", modem([](gwemu::ModemBehaviour &b) { b.simReadyFrom = 0; }), "AT+CPIN?\r", "READY",
                   1, "Receive:AT+CPIN?\r\r\n+CME ERROR: 10\r\n\n,Expect:READY Error\n\n"},
        // The search is case-sensitive.
        AnswerCase{"LowerCaseExpectation", gwemu::ModemBehaviour{}, "AT\r", "ok", 1,
                   "Receive:AT\r\r\nOK\r\n\n,Expect:ok Error\n\n"},
        // The echo comes at once, OK 300 ms later: the one read sees the echo.
        AnswerCase{"AnswerInTwoParts", modem([](gwemu::ModemBehaviour &b) { b.delayMs = 300; }), "AT\r", "OK", 1,
                   "Receive:AT\r\n,Expect:OK Error\n\n"}),
    [](const ::testing::TestParamInfo<AnswerCase> &info) { return std::string(info.param.name); });
// clang-format on

TEST_F(AtCmdTest, SilentModemFailsAfterThePauseAndTheTimeOut)
{
    gwemu::ModemBehaviour off;
    off.answers = false;
    startModem(off);
    const auto fdsBefore = sandbox::openFds();
    sandbox::OutputCapture out;
    const auto start = std::chrono::steady_clock::now();
    const int result = atCmdCmp(kDevice, "AT\r", "OK", 200);
    const auto waited = std::chrono::steady_clock::now() - start;
    const std::string log = out.finish();

    EXPECT_EQ(result, 1);
    EXPECT_EQ(peer->received(), "AT\r");
    EXPECT_THAT(clock.sleeps(), ElementsAre(kAnswerPauseUs));
    EXPECT_GE(waited, std::chrono::milliseconds(200));
    EXPECT_THAT(sandbox::maskLineNumbers(log), EndsWith("[src/peripher] atCmdCmp() #N Send:AT\r \r\n\n"
                                                        "[src/peripher] atCmdCmp() #N Receive Read Error.\r\n\n"));
    EXPECT_EQ(sandbox::openFds(), fdsBefore);
}

TEST_F(AtCmdTest, AnswerAfterTheTimeOutFails)
{
    gwemu::ModemBehaviour slow;
    slow.echo = false;
    slow.delayMs = 400;
    startModem(slow);
    sandbox::OutputCapture out;
    const int result = atCmdCmp(kDevice, "AT\r", "OK", 100);
    const std::string log = out.finish();
    EXPECT_EQ(result, 1);
    EXPECT_THAT(log, EndsWith("Receive Read Error.\r\n\n"));
}

TEST_F(AtCmdTest, UnsendableCommandFailsWithoutWaitingForAnAnswer)
{
    // Nobody reads the line: fill it so the command cannot go out.
    const int filler = open(kDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    sandbox::fillLine(filler);
    close(filler);
    const auto fdsBefore = sandbox::openFds();
    sandbox::OutputCapture out;
    const int result = atCmdCmp(kDevice, "AT\r", "OK", 5000);
    const std::string log = out.finish();

    EXPECT_EQ(result, 1);
    EXPECT_THAT(clock.sleeps(), IsEmpty());
    EXPECT_THAT(sandbox::maskLineNumbers(log), EndsWith("[src/peripher] atCmdCmp() #N Send:AT\r \r\n\n"
                                                        "[src/peripher] atCmdCmp() #N Send CMD Error.\r\n\n"));
    EXPECT_EQ(sandbox::openFds(), fdsBefore);
}

TEST_F(AtCmdTest, UnopenableDeviceReturnsTheOpenError)
{
    sandbox::writeFile("/tmp/plain", "");
    struct Case {
        const char *dev;
        int result;
        const char *log;
    };
    // clang-format off
    const Case cases[] = {
        {"/dev/ttyUSB7", -1,
         "[src/peripher] atCmdCmp() #N Device:/dev/ttyUSB7 Baud:115200.\r\n\n"
         "[src/serial] serial_open() #N Couldn't open serial device \"/dev/ttyUSB7\"(No such file or directory)\n"
         "[src/peripher] atCmdCmp() #N Open Serial Fd error.\r\n\n"},
        {"/tmp/plain", -2,
         "[src/peripher] atCmdCmp() #N Device:/tmp/plain Baud:115200.\r\n\n"
         "[src/serial] serial_open() #N Error getting port settings (Inappropriate ioctl for device)\n"
         "[src/peripher] atCmdCmp() #N Open Serial Fd error.\r\n\n"},
    };
    // clang-format on
    const auto fdsBefore = sandbox::openFds();
    for (const Case &c : cases) {
        sandbox::OutputCapture out;
        const int result = atCmdCmp(c.dev, "AT\r", "OK", 5000);
        const std::string log = out.finish();
        EXPECT_EQ(result, c.result) << c.dev;
        EXPECT_EQ(sandbox::maskLineNumbers(log), c.log);
    }
    EXPECT_THAT(clock.sleeps(), IsEmpty());
    EXPECT_EQ(sandbox::openFds(), fdsBefore);
}

TEST_F(AtCmdTest, NullArgumentsAreRefusedSilently)
{
    startModem();
    sandbox::OutputCapture out;
    const int noDev = atCmdCmp(nullptr, "AT\r", "OK", 100);
    const int noCmd = atCmdCmp(kDevice, nullptr, "OK", 100);
    const int noExpect = atCmdCmp(kDevice, "AT\r", nullptr, 100);
    const std::string log = out.finish();
    EXPECT_EQ(noDev, -1);
    EXPECT_EQ(noCmd, -1);
    EXPECT_EQ(noExpect, -1);
    EXPECT_EQ(log, "");
    EXPECT_FALSE(peer->waitForReceived("AT", 50));
}

TEST_F(AtCmdTest, SimReadyOnTheThirdProbeAndEveryProbeReopensThePort)
{
    gwemu::ModemBehaviour late;
    late.simReadyFrom = 3;
    startModem(late);
    const auto fdsBefore = sandbox::openFds();
    std::vector<int> results;
    {
        sandbox::OutputCapture out;
        for (int probe = 0; probe < 4; ++probe) {
            results.push_back(atCmdCmp(kDevice, "AT+CPIN?\r", "READY", 5000));
        }
    }
    EXPECT_THAT(results, ElementsAre(1, 1, 0, 0));
    EXPECT_EQ(peer->received(), repeat("AT+CPIN?\r", 4));
    EXPECT_EQ(sandbox::openFds(), fdsBefore);
}

// The answer buffer holds 256 bytes: a full buffer is searched to its last
// byte, and bytes beyond it stay on the line, unread and unsearched.
TEST_F(AtCmdTest, FullAnswerIsSearchedToItsLastByteAndNoFurther)
{
    struct Case {
        const char *name;
        std::string answer;
        int result;
    };
    // clang-format off
    const Case cases[] = {
        {"expected text in the last two bytes", std::string(254, 'x') + "OK", 0},
        {"expected text just beyond", std::string(256, 'x') + "OK", 1},
        {"expected text straddling the end", std::string(255, 'x') + "OK", 1},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string answer = c.answer;
        startPeer({{"AT\r", [answer](const std::string &, unsigned) { return gwemu::Answer{{0, answer}}; }}});
        // The whole answer is on the line by the end of the 500 ms pause.
        const int size = static_cast<int>(answer.size());
        clock.at(clock.nowUs() + kAnswerPauseUs, [size] { ASSERT_TRUE(sandbox::waitForUnread(kDevice, size)); });
        sandbox::OutputCapture out;
        const int result = atCmdCmp(kDevice, "AT\r", "OK", 1000);
        const std::string log = out.finish();
        peer.reset();

        EXPECT_EQ(result, c.result);
        const std::string firstBytes = answer.substr(0, 256);
        EXPECT_THAT(log, HasSubstr("Recieve[256]:" + sandbox::hexBytes(firstBytes, "0x", " ") + "\r\n\n"));
        EXPECT_THAT(log, HasSubstr("Receive:" + firstBytes + "\n,Expect:OK "));
    }
}

// --- discovery -------------------------------------------------------------

class FindDevTest : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override
    {
        // A USB interface of the modem as sysfs shows it.
        sandbox::mkdirs(kIface + "/ttyUSB2");
        sandbox::mkdirs(kIface + "/driver");
        sandbox::mkdirs(kIface + "/power");
        sandbox::writeFile(kIface + "/uevent", "");
        sandbox::writeFile(kIface + "/bInterfaceNumber", "02\n");
        sandbox::mkdirs(kEmpty + "/power");
        sandbox::writeFile(kEmpty + "/uevent", "");
        sandbox::writeFile(kEmpty + "/ttyusb0", "");
        sandbox::mkdirs(kLong + "/" + kLongName);
        out.fill('#');
    }

    const std::string kIface = "/tmp/usb/1-1:1.2";
    const std::string kEmpty = "/tmp/usb/1-1:1.0";
    const std::string kLong = "/tmp/usb/1-1:1.3";
    const std::string kLongName = "ttyUSB" + std::string(249, 'a'); // the longest name a directory holds
    std::array<char, 300> out;
};

TEST_F(FindDevTest, CopiesTheFirstMatchingNameCutToTheCapacity)
{
    struct Case {
        const std::string *dir;
        uint16_t cap;
        int result;
        std::string stored; // before the terminator
    };
    // clang-format off
    const Case cases[] = {
        {&kIface, 64, 7, "ttyUSB2"},
        {&kIface, 8, 7, "ttyUSB2"},
        {&kIface, 7, 7, "ttyUSB"},
        {&kIface, 4, 7, "tty"},
        {&kIface, 1, 7, ""},
        {&kLong, 64, 255, kLongName.substr(0, 63)},
        {&kLong, 256, 255, kLongName},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(*c.dir + " cap " + std::to_string(c.cap));
        out.fill('#');
        sandbox::OutputCapture capture;
        const int result = findDev(c.dir->c_str(), "ttyUSB", out.data(), c.cap);
        const std::string log = capture.finish();

        EXPECT_EQ(result, c.result);
        EXPECT_EQ(std::string(out.data()), c.stored);
        // Nothing written beyond the capacity.
        EXPECT_EQ(std::string(out.data() + c.cap, out.size() - c.cap), std::string(out.size() - c.cap, '#'));
        const std::string name = c.dir == &kLong ? kLongName : "ttyUSB2";
        EXPECT_EQ(sandbox::maskLineNumbers(log), "[src/peripher] findDev() #N Open Path:" + *c.dir +
                                                     "\n\n"
                                                     "[src/peripher] findDev() #N " +
                                                     name + " " + c.stored + "\n\n");
    }
}

TEST_F(FindDevTest, NoMatchLeavesTheOutputAlone)
{
    // ttyusb0 differs in case only.
    sandbox::OutputCapture capture;
    const int result = findDev(kEmpty.c_str(), "ttyUSB", out.data(), 64);
    const std::string log = capture.finish();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(std::string(out.data(), out.size()), std::string(out.size(), '#'));
    EXPECT_EQ(sandbox::maskLineNumbers(log), "[src/peripher] findDev() #N Open Path:" + kEmpty + "\n\n");
}

TEST_F(FindDevTest, UnopenableDirectorySaysWhy)
{
    struct Case {
        std::string dir;
        const char *why;
    };
    // clang-format off
    const Case cases[] = {
        {"/tmp/usb/1-1:1.9", "No such file or directory"},
        {kIface + "/uevent", "Not a directory"},
    };
    // clang-format on
    const auto fdsBefore = sandbox::openFds();
    for (const Case &c : cases) {
        sandbox::OutputCapture capture;
        const int result = findDev(c.dir.c_str(), "ttyUSB", out.data(), 64);
        const std::string log = capture.finish();
        EXPECT_EQ(result, -1) << c.dir;
        EXPECT_EQ(sandbox::maskLineNumbers(log), "[src/peripher] findDev() #N Open Path:" + c.dir +
                                                     "\n\n"
                                                     "[src/peripher] findDev() #N Open " +
                                                     c.dir + " Error:" + c.why + ".\n\n");
    }
    EXPECT_EQ(std::string(out.data(), out.size()), std::string(out.size(), '#'));
    EXPECT_EQ(sandbox::openFds(), fdsBefore);
}

TEST_F(FindDevTest, MissingArgumentsAreRefusedSilently)
{
    sandbox::OutputCapture capture;
    const std::array<int, 4> results = {
        findDev(nullptr, "ttyUSB", out.data(), 64),
        findDev(kIface.c_str(), nullptr, out.data(), 64),
        findDev(kIface.c_str(), "ttyUSB", nullptr, 64),
        findDev(kIface.c_str(), "ttyUSB", out.data(), 0),
    };
    const std::string log = capture.finish();
    EXPECT_THAT(results, ::testing::Each(-2));
    EXPECT_EQ(log, "");
    EXPECT_EQ(std::string(out.data(), out.size()), std::string(out.size(), '#'));
}

} // namespace
