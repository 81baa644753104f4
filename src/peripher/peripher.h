// The peripheral context, the handler contract and the dispatcher that finds
// a test handler by command code: first in the table every model shares,
// then in the table of the gateway's model.
#pragma once

#include <array>
#include <cstdint>

inline constexpr uint16_t kReplyCap = 64;
inline constexpr size_t kModelLen = 64;

struct PeripherCtx {
    std::array<char, kModelLen> model;  // upper case, no newline; empty when unreadable
    std::array<uint8_t, kReplyCap> reply; // result byte, then data
    uint16_t replyLen;                  // set only when a handler returns more than 0
    uint16_t replyCap;
};

// Result bytes.
inline constexpr uint8_t kResultPass = 0x00;
inline constexpr uint8_t kResultFail = 0x01;

// A test handler: writes the result byte and any data into the reply buffer
// and returns the number of bytes written (1..capacity), or 0 or below for
// no reply at all.
using CmdHandler = int (*)(uint8_t *reply, int cap);

struct CmdEntry {
    uint16_t cmd;
    CmdHandler handler;
};

void ctxPeripherInit(PeripherCtx *ctx);
int peripherHandler(uint16_t cmd, PeripherCtx *ctx);
int resInfoWrite(uint8_t *out, uint16_t cap, uint8_t result, const uint8_t *data, uint16_t dataLen);

// Identity queries.
int cmd_request_model(uint8_t *reply, int cap);
int cmd_request_mac(uint8_t *reply, int cap);
int cmd_request_sysversion(uint8_t *reply, int cap);
int cmd_request_zbversion(uint8_t *reply, int cap);
int cmd_request_zwversion(uint8_t *reply, int cap);

// Network tests.
int cmd_wan_dhcpcli(uint8_t *reply, int cap);
int cmd_request_wan_ping_gw(uint8_t *reply, int cap);
int cmd_request_wan_dns_ping(uint8_t *reply, int cap);
int cmd_request_wifi_smartconfig(uint8_t *reply, int cap);

// Button and LED tests.
int cmd_request_btn_pressdown(uint8_t *reply, int cap);
int cmd_request_led_powerled(uint8_t *reply, int cap);
int cmd_request_led_zwaveled(uint8_t *reply, int cap);
int cmd_request_led_zigbeeled(uint8_t *reply, int cap);
int cmd_request_led_4gled(uint8_t *reply, int cap);
int cmd_request_led_errorled(uint8_t *reply, int cap);
int cmd_request_allLeds_flash(uint8_t *reply, int cap);
int cmd_request_allLeds_Restore(uint8_t *reply, int cap);
