// Talking to the cellular modem: finding the tty its USB interface exposes,
// and one AT command with a check of the answer.
#pragma once

#include <cstdint>

// Scans the directory (a USB interface in sysfs) for the first entry whose
// name contains the pattern, such as "ttyUSB", and copies that name into the
// output, cut to cap - 1 characters and terminated. Returns the length of
// the whole name, 0 when nothing matches (output untouched), -1 when the
// directory cannot be opened, -2 on a null argument or a capacity of 0.
int findDev(const char *dir, const char *pattern, char *out, uint16_t cap);

// Opens the tty at 115200 baud, sends the command as it is (carriage
// return included), gives the modem 500 ms, reads once with the time-out
// and looks for the expected text in what arrived. Returns 0 when found,
// 1 when not found or nothing could be exchanged, -1 on a null argument,
// or serial_open's negative code when the tty cannot be opened. The tty is
// always closed again.
int atCmdCmp(const char *dev, const char *cmd, const char *expect, uint16_t timeoutMs);
