// The button and LED tests: the button flag appears while the test waits,
// the LED brightness files take 1 and then 0, and the peripheral command
// script is started in its blink and restore modes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "handlerCall.h"
#include "logText.h"
#include "overlay.h"
#include "peripher/buttonLed.h"
#include "peripher/peripher.h"
#include "pidNamespace.h"
#include "processes.h"
#include "sandbox.h"
#include "shellLog.h"
#include "tools.h"
#include "virtualClock.h"

namespace {

using sandbox::callHandler;
using sandbox::kUsPerMs;
using sandbox::kUsPerSec;
using sandbox::logPrefix;
using sandbox::maskLineNumbers;
using sandbox::missingInOrder;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Bytes = std::vector<uint8_t>;

constexpr char kFlag[] = "/tmp/btn1";

// ---------------------------------------------------------------------------
// Button

class ButtonTest : public sandbox::SandboxTest {};

TEST_F(ButtonTest, PressDuringTheWaitPassesAtTheNextCheck)
{
    struct Case {
        std::optional<uint64_t> pressAtUs;
        Bytes reply;
        size_t sleeps;
    };
    // clang-format off
    const Case cases[] = {
        {500 * kUsPerMs, {0x00}, 1},
        {3500 * kUsPerMs, {0x00}, 4},
        {9 * kUsPerSec, {0x00}, 9},    // just in time for the tenth check
        {10 * kUsPerSec, {0x01}, 10},  // after the last check
        {std::nullopt, {0x01}, 10},    // never pressed
    };
    // clang-format on
    const std::string p = logPrefix("src/peripher", "cmd_request_btn_pressdown");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pressAtUs.has_value() ? std::to_string(*c.pressAtUs) + " us" : "never");
        sandbox::VirtualClock clock;
        if (c.pressAtUs) {
            clock.at(*c.pressAtUs, [] { sandbox::writeFile(kFlag, ""); });
        }
        const auto r = callHandler(cmd_request_btn_pressdown);
        EXPECT_EQ(r.len, 1);
        EXPECT_EQ(r.reply, c.reply);
        EXPECT_EQ(clock.sleeps(), std::vector<uint64_t>(c.sleeps, kUsPerSec));
        EXPECT_FALSE(sandbox::exists(kFlag)) << "the flag is removed after the test";
        const std::string verdict = c.reply[0] == 0x00 ? "Button Press Donw.\r\n\n" : "Time Out.\r\n\n";
        EXPECT_EQ(
            missingInOrder(maskLineNumbers(r.out), {p + "cmd request Function Button Press Down.\r\n\n", p + verdict}),
            "");
    }
}

TEST_F(ButtonTest, FlagLeftFromAnEarlierPressDoesNotCount)
{
    sandbox::writeFile(kFlag, "");
    sandbox::VirtualClock clock;
    const auto r = callHandler(cmd_request_btn_pressdown);
    EXPECT_EQ(r.reply, Bytes{0x01});
    EXPECT_EQ(clock.sleeps().size(), 10U);
    EXPECT_THAT(r.out, HasSubstr("Time Out.\r\n\n"));
    EXPECT_FALSE(sandbox::exists(kFlag));
}

// ---------------------------------------------------------------------------
// Single LEDs

struct Led {
    CmdHandler handler;
    const char *function;
    const char *name;
    const char *entry;
    const char *error;
};

const Led kLeds[] = {
    {cmd_request_led_powerled, "cmd_request_led_powerled", "pwrled", "cmd request Function POWER LED.\r\n\n",
     "Operate Power Led Error\n"},
    {cmd_request_led_zwaveled, "cmd_request_led_zwaveled", "zwled", "cmd request Function ZWAVE LED.\r\n\n",
     "Operate ZWAVE Led Error\n"},
    {cmd_request_led_zigbeeled, "cmd_request_led_zigbeeled", "zigbee", "cmd request Function Zigbee LED.\r\n\n",
     "Operate ZIGBEE Led Error\n"},
    {cmd_request_led_4gled, "cmd_request_led_4gled", "4gled", "cmd request Function 4G LED.\r\n\n",
     "Operate 4G Led Error\n"},
    {cmd_request_led_errorled, "cmd_request_led_errorled", "errled", "cmd request Function Error LED.\r\n\n",
     "Operate Error Led Error\n"},
};

class LedTest : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override
    {
        sandbox::overlayDir("/sys/class");
        sandbox::mkdirs("/sys/class/leds");
    }
    static std::string dir(const Led &led) { return std::string("/sys/class/leds/") + led.name; }
    static std::string brightness(const Led &led) { return dir(led) + "/brightness"; }
};

TEST_F(LedTest, OnForTwoSecondsThenOff)
{
    for (const Led &led : kLeds) {
        for (const char *before : {"0", "1"}) {
            SCOPED_TRACE(std::string(led.name) + " was " + before);
            sandbox::writeFile(brightness(led), before);
            sandbox::VirtualClock clock;
            std::string during;
            clock.at(1 * kUsPerSec, [&] { during = sandbox::readFile(brightness(led)); });
            const auto r = callHandler(led.handler);
            EXPECT_EQ(r.len, 1);
            EXPECT_EQ(r.reply, Bytes{0x00});
            EXPECT_THAT(clock.sleeps(), ElementsAre(2 * kUsPerSec));
            EXPECT_EQ(during, "1");
            EXPECT_EQ(sandbox::readFile(brightness(led)), "0");
            EXPECT_THAT(maskLineNumbers(r.out), HasSubstr(logPrefix("src/peripher", led.function) + led.entry));
            EXPECT_THAT(r.out, Not(HasSubstr(led.error)));
        }
    }
}

TEST_F(LedTest, MissingLedFailsAtOnceWithoutTheWait)
{
    for (const Led &led : kLeds) {
        SCOPED_TRACE(led.name);
        sandbox::VirtualClock clock;
        const auto r = callHandler(led.handler);
        EXPECT_EQ(r.reply, Bytes{0x01});
        EXPECT_THAT(clock.sleeps(), IsEmpty());
        EXPECT_FALSE(sandbox::exists(dir(led)));
        EXPECT_EQ(missingInOrder(maskLineNumbers(r.out),
                                 {logPrefix("src/peripher", led.function) + led.entry,
                                  logPrefix("src/peripher", "operateLeds") + "Path:" + brightness(led) + " Open Error" +
                                      std::strerror(ENOENT) + ":.\r\n\n",
                                  logPrefix("src/peripher", led.function) + led.error}),
                  "");
    }
}

TEST_F(LedTest, LedGoneDuringTheWaitFails)
{
    const Led &led = kLeds[0];
    sandbox::writeFile(brightness(led), "0");
    sandbox::VirtualClock clock;
    clock.at(1 * kUsPerSec, [&] { sandbox::sh("rm -r " + dir(led)); });
    const auto r = callHandler(led.handler);
    EXPECT_EQ(r.reply, Bytes{0x01});
    EXPECT_THAT(clock.sleeps(), ElementsAre(2 * kUsPerSec));
    EXPECT_EQ(missingInOrder(maskLineNumbers(r.out),
                             {logPrefix("src/peripher", "operateLeds") + "Path:" + brightness(led) + " Open Error",
                              logPrefix("src/peripher", led.function) + led.error}),
              "");
}

// ---------------------------------------------------------------------------
// All LEDs: the peripheral command script

constexpr char kScript[] = "tovak_peripheralcmd.sh";

bool waitForToolCall(const std::string &line)
{
    for (int i = 0; i < 2000; ++i) { // up to 20 s: a loaded machine starts background jobs late
        for (const std::string &call : sandbox::toolCalls()) {
            if (call == line) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class AllLeds : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override
    {
        sandbox::setUpTools({"killall", "pidof"});
        sandbox::recordShellCommands();
    }
};

TEST_F(AllLeds, FlashPassesOnceTheScriptIsStarted)
{
    struct Case {
        const char *name;
        std::optional<std::string> body; // empty: no script at all
    };
    // clang-format off
    const Case cases[] = {
        {"script blinks", "exit 0"},
        {"script fails in the background", "exit 1"},
        {"no script", std::nullopt},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        unlink((sandbox::toolDir() + "/" + kScript).c_str());
        if (c.body) {
            sandbox::installTool(kScript, *c.body);
        }
        sandbox::clearToolCalls();
        sandbox::clearShellCommands();
        const auto r = callHandler(cmd_request_allLeds_flash);
        EXPECT_EQ(r.len, 1);
        EXPECT_EQ(r.reply, Bytes{0x00});
        EXPECT_THAT(sandbox::shellCommands(), ElementsAre("tovak_peripheralcmd.sh blink &"));
        EXPECT_THAT(maskLineNumbers(r.out),
                    HasSubstr(logPrefix("src/peripher", "cmd_request_allLeds_flash") + "cmd All LEDs Flash.\r\n\n"));
        if (c.body) {
            EXPECT_TRUE(waitForToolCall("tovak_peripheralcmd.sh blink"));
        }
    }
}

TEST_F(AllLeds, RestoreStopsTheBlinkThenRestores)
{
    const std::string blinkPid = sandbox::scratchDir() + "/blink.pid";
    sandbox::installTool(kScript,
                         "if [ \"$1\" = blink ]; then echo $$ > " + blinkPid + "; while :; do sleep 1; done; fi");
    sandbox::inPrivatePids([&] {
        ASSERT_EQ(sandbox::sh("tovak_peripheralcmd.sh blink >/dev/null &"), 0);
        ASSERT_TRUE(waitForToolCall("tovak_peripheralcmd.sh blink"));
        const pid_t blink = sandbox::waitForPidFile(blinkPid);
        ASSERT_GT(blink, 0);
        sandbox::clearShellCommands();
        sandbox::clearToolCalls();

        sandbox::VirtualClock clock;
        // Within the pause: the blink is gone and nothing restored yet.
        bool blinkGoneInPause = false;
        std::vector<std::string> callsInPause{"(not looked at)"};
        clock.at(500 * kUsPerMs, [&] {
            blinkGoneInPause = sandbox::waitUntilStopped(blink);
            callsInPause = sandbox::toolCalls();
        });
        const auto r = callHandler(cmd_request_allLeds_Restore);
        EXPECT_EQ(r.len, 1);
        EXPECT_EQ(r.reply, Bytes{0x00});
        EXPECT_THAT(clock.sleeps(), ElementsAre(1 * kUsPerSec));
        EXPECT_TRUE(blinkGoneInPause) << "blink still running after killall";
        EXPECT_THAT(callsInPause, IsEmpty());
        EXPECT_THAT(sandbox::shellCommands(),
                    ElementsAre("killall tovak_peripheralcmd.sh", "tovak_peripheralcmd.sh restore &"));
        EXPECT_TRUE(waitForToolCall("tovak_peripheralcmd.sh restore"));
        // The restore test has no entry message of its own.
        EXPECT_THAT(r.out, Not(HasSubstr("cmd_request_allLeds_Restore()")));
    });
}

} // namespace
