// The cellular modems at the power level: the board's GPIO lines of the 2G
// modem (driven through sysfs with shell echo commands), the 3G and 4G
// modems' lines and the 4G modem's power-off and power-on sequences (platform
// line tools), and which of the gateway's two SDKs the build runs on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr size_t kPinNameLen = 128;

// One row of the board pin table: a control line by name and its GPIO
// number in the sysfs numbering.
struct PinEntry {
    char name[kPinNameLen]; // compared case-sensitively
    uint32_t pin;
};

// The 2G modem's reset and power lines, and its wake line, which no
// sequence drives. Searched in this order.
inline constexpr std::array<PinEntry, 3> boardPinTable{{
    {"2GRST", 37},
    {"2GPWR", 0},
    {"2GWAK", 1},
}};

// GPIO number of the named line (the low 16 bits of its row), or -1 when no
// row has that name.
int boardPinLookup(const char *name);

// 1 when the pin is exported (its sysfs directory exists), else 0.
int boardPinIsCfg(uint16_t pin);

// Exports the pin and sets its direction (non-zero = input, 0 = output).
// Returns what system() returned for the direction command.
int boardPinCfg(uint16_t pin, uint8_t dirIn);

// Drives the pin (non-zero = 1). Returns what system() returned.
int boardPinSet(uint16_t pin, uint8_t level);

// 2G modem power and reset pulses (high, 1 s low, high; the line is left
// high): 0 done, 1 the line is not in the pin table.
int powerOn_2gModule();
int powerOff_2gModule();

// True on the MediaTek SDK build of the gateway: its marker file
// /tmp/sysinfo/mtksdk exists. Its line tool and its USB numbering differ.
bool boardOnMtkSdk();

// A 200 ms pulse on a modem line of the standard SDK's line tool:
// "gpioc set <line> 1", the pause, "gpioc set <line> 0". The lines are
// 3G_RESET, 3G_POWER, 4G_RESET and 4G_POWER.
void boardLinePulse(const char *line);

// The MediaTek SDK's 4G modem commands: off stops the network manager and
// drives lines 28, 29 and 35 with the gpio tool's patterns; on drives line 29.
// Run whatever the modem's state.
void mtk4gPowerOff();
void mtk4gPowerOn();

// 4G modem power sequences. The modem's USB interface directory in sysfs
// tells its state: present means on. 0 done or already in the wanted state,
// -1 no path, or the positive errno value when the path cannot be checked.
int powerOff_4gModule(const char *path);
int powerOn_4gModule(const char *path);
