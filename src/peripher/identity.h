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
