// Identity queries: what the test station reads to label the gateway (its
// model, its MAC address, the versions of its build and radio firmware).
// Each reply is the result byte, then the data.
#pragma once

#include <cstdint>

int cmd_request_model(uint8_t *reply, int cap);
int cmd_request_mac(uint8_t *reply, int cap);
int cmd_request_sysversion(uint8_t *reply, int cap);
int cmd_request_zbversion(uint8_t *reply, int cap);
int cmd_request_zwversion(uint8_t *reply, int cap);

// The version a version file's first line names: after the key and the first
// delimiter, up to the second delimiter (a build suffix) or the end of the
// line. Cuts the line in place (strtok_r) and points into it; null when the
// line names no version (no first delimiter, nothing or only the newline
// after it).
const char *versionFromLine(char *line, const char *firstDelim, const char *secondDelim);
