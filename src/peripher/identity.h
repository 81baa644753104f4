// Identity queries: what the test station reads to label the gateway (its
// model, its MAC address, the versions of its build and radio firmware).
// Each reply is the result byte, then the data.
#pragma once

#include <cstdint>

// 0x0005: the first line of /tmp/sysinfo/model as the file has it (at most
// 63 characters) and its terminator; fails when the file is missing or empty.
int cmd_request_model(uint8_t *reply, int cap);
// 0x0001: the six bytes of eth0's hardware address.
int cmd_request_mac(uint8_t *reply, int cap);

// 0x0002, 0x0003, 0x0004: the version text and its terminator, from the first
// line of the build file (after "=", up to a "-" build suffix) or of the
// Zigbee or Z-Wave firmware's version file (after ":", up to ","); fails when
// the file or the version is missing.
int cmd_request_sysversion(uint8_t *reply, int cap);
int cmd_request_zbversion(uint8_t *reply, int cap);
int cmd_request_zwversion(uint8_t *reply, int cap);

// The version a version file's first line names: after the key and the first
// delimiter, up to the second delimiter (a build suffix) or the end of the
// line. Cuts the line in place (strtok_r) and points into it; null when the
// line names no version (no first delimiter, nothing or only the newline
// after it).
const char *versionFromLine(char *line, const char *firstDelim, const char *secondDelim);
