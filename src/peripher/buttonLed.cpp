// Button and LED tests: the operator presses the button and watches the
// LEDs; the service checks the button flag and drives the LED class.
#include <cstdio>
#include <unistd.h>

#include "board/files.h"
#include "board/shell.h"
#include "clock.h"
#include "log.h"
#include "peripher/buttonLed.h"
#include "peripher/peripher.h"
#include "peripher/resultReply.h"

namespace {

constexpr char kLogModule[] = "src/peripher";

// The gateway's button handling creates this file on a press.
constexpr char kButtonFlag[] = "/tmp/btn1";
constexpr int kButtonChecks = 10;

constexpr unsigned kLedOnSec = 2;
constexpr uint8_t kLedOn = 1;
constexpr uint8_t kLedOff = 0;

constexpr unsigned kRestorePauseSec = 1;

struct LedTest {
    const char *brightness;
    const char *errorText;
};

constexpr LedTest kPowerLed{"/sys/class/leds/pwrled/brightness", "Operate Power Led Error\n"};
constexpr LedTest kZwaveLed{"/sys/class/leds/zwled/brightness", "Operate ZWAVE Led Error\n"};
constexpr LedTest kZigbeeLed{"/sys/class/leds/zigbee/brightness", "Operate ZIGBEE Led Error\n"};
constexpr LedTest k4gLed{"/sys/class/leds/4gled/brightness", "Operate 4G Led Error\n"};
constexpr LedTest kErrorLed{"/sys/class/leds/errled/brightness", "Operate Error Led Error\n"};

// The LED on for two seconds, then off, whatever its state before. A file
// that cannot be opened fails at once: no wait, no second write.
int ledTest(const char *caller, const LedTest &led, uint8_t *reply, int cap)
{
    bool passed = false;
    if (operateLeds(led.brightness, kLedOn) != 0) {
        GW_LOG_AS(caller, "%s", led.errorText);
    } else {
        gwSleepSec(kLedOnSec);
        if (operateLeds(led.brightness, kLedOff) != 0) {
            GW_LOG_AS(caller, "%s", led.errorText);
        } else {
            passed = true;
        }
    }
    return replyResultByte(reply, cap, passed ? kResultPass : kResultFail);
}

} // namespace

int cmd_request_btn_pressdown(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function Button Press Down.\r\n\n");

    // A press from before the request does not count.
    std::remove(kButtonFlag);
    bool pressed = false;
    for (int check = 0; check < kButtonChecks; ++check) {
        if (access(kButtonFlag, R_OK) == 0) {
            pressed = true;
            break;
        }
        gwSleepSec(1);
    }
    std::remove(kButtonFlag);

    if (pressed) {
        GW_LOG("Button Press Donw.\r\n\n");
    } else {
        GW_LOG("Time Out.\r\n\n");
    }
    return replyResultByte(reply, cap, pressed ? kResultPass : kResultFail);
}

int cmd_request_led_powerled(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function POWER LED.\r\n\n");
    return ledTest(__func__, kPowerLed, reply, cap);
}

int cmd_request_led_zwaveled(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function ZWAVE LED.\r\n\n");
    return ledTest(__func__, kZwaveLed, reply, cap);
}

int cmd_request_led_zigbeeled(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function Zigbee LED.\r\n\n");
    return ledTest(__func__, kZigbeeLed, reply, cap);
}

int cmd_request_led_4gled(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function 4G LED.\r\n\n");
    return ledTest(__func__, k4gLed, reply, cap);
}

int cmd_request_led_errorled(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function Error LED.\r\n\n");
    return ledTest(__func__, kErrorLed, reply, cap);
}

int cmd_request_allLeds_flash(uint8_t *reply, int cap)
{
    GW_LOG("cmd All LEDs Flash.\r\n\n");
    // The script blinks in the background: the test passes once it started.
    const bool passed = shellRun(peripheralCmd("%s blink &").data()) == 0;
    return replyResultByte(reply, cap, passed ? kResultPass : kResultFail);
}

int cmd_request_allLeds_Restore(uint8_t *reply, int cap)
{
    // Stop a running blink, give the LEDs a moment, then back to normal.
    shellRunUnchecked(peripheralCmd("killall %s").data());
    gwSleepSec(kRestorePauseSec);
    const bool passed = shellRun(peripheralCmd("%s restore &").data()) == 0;
    return replyResultByte(reply, cap, passed ? kResultPass : kResultFail);
}
